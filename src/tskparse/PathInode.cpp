#include "tskparse/PathInode.h"

#include <stdexcept>

#include "core/ScanErrors.h"
#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "core/Text.h"
#include "tskparse/FlsBodyLine.h"

namespace brivo {

std::string NormalizeTskPath(std::string_view path) {
    std::string t(TrimView(path));
    if (t.empty()) return t;
    for (char& c : t)
        if (c == '\\') c = '/';
    if (t.front() != '/') t.insert(t.begin(), '/');
    while (t.size() >= 2 && t.back() == '/') t.pop_back();
    return t;
}

std::vector<std::string> SplitPathSegments(std::string_view path) {
    std::vector<std::string> segs;
    std::string t = NormalizeTskPath(path);
    if (t.empty() || t == "/") return segs;
    size_t start = 0;
    while (start <= t.size()) {
        size_t end = t.find('/', start);
        if (end == std::string::npos) end = t.size();
        const std::string_view part = TrimView(std::string_view(t).substr(start, end - start));
        if (!part.empty()) segs.emplace_back(part);
        start = end + 1;
    }
    return segs;
}

std::string LastPathComponent(std::string_view name) {
    std::string t(TrimView(name));
    if (t.empty()) return t;
    for (char& c : t)
        if (c == '\\') c = '/';
    while (t.size() >= 2 && t.back() == '/') t.pop_back();
    if (t == "/") return t;
    const size_t cut = t.find_last_of("/:");
    return cut == std::string::npos ? t : t.substr(cut + 1);
}

TToolCommand BuildFlsListCommand(const std::string& flsPath, const std::string& fsSwitch, const std::string& src,
                                 const std::string& dirInode) {
    TToolCommand cmd;
    cmd.Program = flsPath;
    cmd.AddWords(fsSwitch).Add("-p").Add("-m").Add("/").AddPath(src);
    const std::string_view inode = TrimView(dirInode);
    if (!inode.empty()) {
        // Addresses come from the engine's own listing (12, 1234-144-6); anything else
        // is not an address and would be read by the tool as an option or a second source.
        for (char c : inode) {
            const bool ok = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '-';
            if (!ok) throw std::runtime_error("Invalid metadata address: " + std::string(inode));
        }
        cmd.Add(std::string(inode));
    }
    return cmd;
}

TToolCommand BuildFlsListCommand(const TScanState& state, const TEngineContext& ctx, TScanHost& host,
                                 const std::string& src, const std::string& dirInode) {
    // The volume's image type and offset follow the switch: the scan may read one
    // partition of a disk or container.
    return BuildFlsListCommand(RequireTool(ctx, host, "fls"), state.FLastFsSwitch + EngineVolumeWords(state), src,
                               dirInode);
}

std::string ResolvePathInode(TScanState& state, TEngineContext& ctx, TScanHost& host, const std::string& src,
                             const std::string& pathFilter) {
    const std::vector<std::string> segments = SplitPathSegments(pathFilter);
    if (segments.empty()) return {};
    std::string current;
    std::string scratch, name, inode, mode;
    const int n = static_cast<int>(segments.size());
    for (int i = 0; i < n; ++i) {
        const std::string& segment = segments[static_cast<size_t>(i)];
        const TToolCommand cmd = BuildFlsListCommand(state, ctx, host, src, current);
        Log(host, Format("Resolving path inode: step %d/%d (%s) ...", {i + 1, n, segment}));
        Log(host, "> " + cmd.Display());
        const std::string out = ctx.FRunner.RunCaptureText(cmd.Program, cmd.Args);

        // A deleted directory never matches: its name carries " (deleted)". What the
        // engine prints on failure goes into the same text and matches nothing either.
        bool matched = false;
        const std::string_view text(out);
        size_t pos = 0;
        while (!matched && pos < text.size()) {
            size_t eol = text.find('\n', pos);
            if (eol == std::string_view::npos) eol = text.size();
            std::string_view line = text.substr(pos, eol - pos);
            pos = eol + 1;
            if (line.find('\r') != std::string_view::npos) {
                scratch.clear();
                for (char c : line)
                    if (c != '\r') scratch += c;
                line = scratch;
            }
            const std::string_view t = TrimView(line);
            if (t.empty() || t.find('|') == std::string_view::npos) continue;
            int64_t size, mtime;
            if (!SplitBodyLine(t, name, inode, mode, size, mtime)) continue;
            if (ContainsNoCase(name, "(volume label entry)")) continue;
            const std::string leaf = LastPathComponent(name);
            if (!leaf.empty() && EqualsNoCase(leaf, segment) && (IsDirMode(mode) || IsDirLikeName(name))) {
                current = std::string(TrimView(inode));
                matched = true;
            }
        }
        if (!matched)
            throw TFolderNotOnVolumeError(
                Format(host.Translate("Cannot resolve folder path segment \"%s\" under \"%s\"."), {segment, pathFilter}));
    }
    const std::string result(TrimView(current));
    if (result.empty())
        throw std::runtime_error(Format(host.Translate("Resolved inode is empty for \"%s\"."), {pathFilter}));
    return result;
}

} // namespace brivo
