#include "tskparse/FlsOutputParser.h"

#include "filters/NoiseFilter.h"
#include "filters/Wildcard.h"
#include "core/DateConvert.h"
#include "core/Text.h"
#include "tskparse/FlsBodyLine.h"

namespace brivo {

namespace {

void EraseFirstNoCase(std::string& s, std::string_view needle) {
    const size_t at = FindNoCase(s, needle);
    if (at != std::string_view::npos) s.erase(at, needle.size());
}

// One line without its CRs, copied only when it has any.
std::string_view WithoutCr(std::string_view line, std::string& scratch) {
    if (line.find('\r') == std::string_view::npos) return line;
    scratch.clear();
    for (char c : line)
        if (c != '\r') scratch += c;
    return scratch;
}

// A dot-less last component ("README", "Makefile") under a regular file's mode: a file
// after all, not a folder with an unknown mode.
bool IsDotlessRegularFile(std::string_view name, std::string_view mode) {
    if (mode.substr(0, 2) != "r/" || name.empty() || name.back() == '/' || name.back() == '\\') return false;
    const size_t slash = name.find_last_of("/\\");
    const std::string_view last = slash == std::string_view::npos ? name : name.substr(slash + 1);
    return last != "." && last != "..";
}

} // namespace

TFoundFiles ParseFlsListing(std::string_view text, TScanWhere whereMode, const TMaskList& masks, bool cleanup,
                            TFlsHidden* hidden) {
    TFlsHidden local;
    TFlsHidden& count = hidden ? *hidden : local;
    count = {};
    TFoundFiles results;
    std::string scratch, name, inode, mode;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        const std::string_view raw = text.substr(pos, eol - pos);
        pos = eol + 1;

        const std::string_view t = TrimView(WithoutCr(raw, scratch));
        if (t.empty() || t.find('|') == std::string_view::npos) continue;
        int64_t size = -1, mtime = -1;
        if (!SplitBodyLine(t, name, inode, mode, size, mtime)) continue;
        if (ContainsNoCase(name, "(volume label entry)") || ContainsNoCase(name, "($file_name)")) continue;
        // Files the engine could not place are listed under its orphan folder: results like
        // any other. Its other made-up areas and the system folders are not.
        if (IsSystemAreaPath(name, whereMode)) continue;
        // A name whose metadata address is 0 points at no metadata: nothing can be copied.
        if (inode == "0" || inode.starts_with("0-")) continue;
        // Also drops "(deleted-realloc)": its metadata now belongs to another file.
        if (!ContainsNoCase(name, "(deleted)")) continue;
        EraseFirstNoCase(name, " (deleted)");
        EraseFirstNoCase(name, "(deleted)");
        name = std::string(TrimView(name));
        if (name.find(':') != std::string::npos) continue;  // alternate data stream (file:stream)
        if (IsDirMode(mode)) {
            count.DeletedFolders.push_back(name);
            continue;
        }
        if (IsDirLikeName(name)) {
            if (!IsDotlessRegularFile(name, mode)) continue;
            if (cleanup) {
                ++count.ByCleanup;
                continue;
            }
        }
        if (!masks.empty() && !MatchesAnyMask(name, masks)) {
            ++count.ByMasks;
            continue;
        }

        TFoundFile f;
        f.Inode = inode;
        f.FullPath = name;
        f.IsDeleted = true;
        f.FileType = mode;
        f.IsDir = false;
        f.SizeBytes = size;
        f.HasModDate = mtime > 0;
        f.ModDateUtc = f.HasModDate ? UnixToUtc(mtime) : 0;
        f.DamageText = "Unknown";
        f.DamageScore = -1;
        results.push_back(std::move(f));
    }
    return results;
}

void ParseFlsOutput(TScanState& state, TScanHost&, std::string_view text, TScanWhere whereMode,
                    const TMaskList& masks, bool cleanup) {
    TFlsHidden hidden;
    state.FFound = ParseFlsListing(text, whereMode, masks, cleanup, &hidden);
    state.FLastHiddenByMasks = hidden.ByMasks;
    state.FLastHiddenByCleanup = hidden.ByCleanup;
    state.FDeletedFolders = std::move(hidden.DeletedFolders);
}

} // namespace brivo
