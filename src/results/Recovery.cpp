#include "results/Recovery.h"

#include "core/Text.h"

#include <stdexcept>

#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "engine/LongPath.h"
#include "results/RecoveryOutput.h"

namespace brivo {

namespace {

std::string TrimControl(const std::string& s) { return std::string(TrimView(s)); }

bool IsAsciiDigit(char c) { return c >= '0' && c <= '9'; }

bool EqualsIgnoreAsciiCase(const std::string& a, const char* b) {
    size_t i = 0;
    for (; i < a.size() && b[i]; ++i) {
        char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = static_cast<char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<char>(y + 32);
        if (x != y) return false;
    }
    return i == a.size() && b[i] == 0;
}

// Characters Windows refuses in a name; kept out so that a recovered tree can be copied
// back to the volume it came from.
bool IsReplacedChar(unsigned char c) {
    return c < 0x20 || c == 0x7F || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' || c == '>' ||
           c == '|';
}

} // namespace

std::string CleanMetaAddress(const std::string& inode) {
    std::string t = TrimControl(inode);
    std::string out;
    out.reserve(t.size());
    for (char c : t) {
        if (c == '*') continue;
        out += c == '\t' ? ' ' : c;
    }
    return TrimControl(out);
}

bool IsValidMetaAddress(const std::string& text) {
    const std::string t = TrimControl(text);
    if (t.empty() || EqualsIgnoreAsciiCase(t, "(deleted)")) return false;
    // ^\d+(-\d+(-\d+)?)?$ over ASCII digits.
    int groups = 0;
    size_t i = 0;
    for (;;) {
        const size_t start = i;
        while (i < t.size() && IsAsciiDigit(t[i])) ++i;
        if (i == start) return false;
        ++groups;
        if (i == t.size()) return true;
        if (t[i] != '-' || groups == 3) return false;
        ++i;
    }
}

std::string RecoveryRelativePath(const std::string& fullPath) {
    const std::string t = TrimControl(fullPath);
    std::string out;
    std::string comp;
    auto flush = [&] {
        if (comp.empty() || comp == ".") {
            // "a//b" and "a/./b" name the same place as "a/b".
        } else {
            if (comp == "..") comp = "_";
            if (!out.empty()) out += '/';
            out += comp;
        }
        comp.clear();
    };
    for (char c : t) {
        if (c == '/' || c == '\\') {
            flush();
        } else {
            comp += IsReplacedChar(static_cast<unsigned char>(c)) ? '_' : c;
        }
    }
    flush();
    return out.empty() ? "recovered.bin" : out;
}

TToolCommand BuildIcatCommand(const std::string& icatPath, const std::string& fsSwitch, const std::string& source,
                              const std::string& address) {
    TToolCommand cmd;
    cmd.Program = icatPath;
    cmd.AddWords(fsSwitch).Add("-R").AddPath(source).Add(address);
    return cmd;
}

bool CheckRecoveryPreconditions(const TScanState& state, const TEngineContext& ctx, TScanHost& host,
                                int checkedCount) {
    if (checkedCount == 0) {
        host.ShowWarning(host.Translate("Please mark at least one file for recovery."));
        return false;
    }
    if (!CheckRequiredFiles(ctx, host)) return false;
    if (TrimControl(state.FLastSrcForFls).empty()) {
        host.ShowWarning(host.Translate("Please run Scan first."));
        return false;
    }
    return true;
}

void RecoverOne(TScanState& state, TEngineContext& ctx, TScanHost& host, const TFoundFile& f,
                const std::string& folder) {
    const std::string source = TrimControl(state.FLastSrcForFls);
    if (source.empty()) throw std::runtime_error(host.Translate("Nothing to recover: please run Scan first."));

    const std::string relative = RecoveryRelativePath(f.FullPath);

    const std::string address = CleanMetaAddress(f.Inode);
    if (!IsValidMetaAddress(address))
        throw std::runtime_error(
            Format(host.Translate("Invalid inode/meta value parsed: \"%s\" (path: %s)"), {address, f.FullPath}));

    const std::string tool = RequireTool(ctx, host, "icat");
    const TToolCommand command = BuildIcatCommand(tool, state.FLastFsSwitch, source, address);

    Log(host, "Recovering: " + f.FullPath);
    Log(host, "> " + command.Display());

    TRecoveryTarget target(folder, relative);
    ctx.FRunner.RunCaptureBinaryToFile(command.Program, command.Args, target.WritePath());
    target.Commit();
}

TRecoveryCounts RecoverSelected(TScanState& state, TEngineContext& ctx, TScanHost& host,
                                const std::vector<size_t>& rows, const std::string& folder) {
    ForceDirectoriesLong(folder);
    TRecoveryCounts counts;
    SetBusy(host, true);
    try {
        SetStatusText(host, host.Translate("Recovering selected files..."));
        for (size_t row : rows) {
            if (row >= state.FFound.size()) {
                ++counts.Failed;
                Log(host, "RECOVER ERROR: row " + std::to_string(row) + " -> no such result");
                continue;
            }
            // A copy: nothing in the batch may be left pointing into FFound if a front end
            // ever lets it change underneath.
            const TFoundFile f = state.FFound[row];
            try {
                RecoverOne(state, ctx, host, f, folder);
                ++counts.OK;
            } catch (const std::exception& e) {
                ++counts.Failed;
                Log(host, "RECOVER ERROR: " + f.FullPath + " -> " + e.what());
            }
        }
        Log(host, Format("Selected recovery finished. OK=%d, Failed=%d", {counts.OK, counts.Failed}));
        host.ShowInfo(Format(host.Translate("Recovery finished. OK: %d Failed: %d"), {counts.OK, counts.Failed}));
        SetStatusText(host,
                      Format(host.Translate("Recovery finished.\r\nOK: %d\r\nFailed: %d"), {counts.OK, counts.Failed}));
    } catch (...) {
        SetBusy(host, false);
        throw;
    }
    SetBusy(host, false);
    return counts;
}

} // namespace brivo
