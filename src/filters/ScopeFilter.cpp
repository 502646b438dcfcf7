#include "filters/ScopeFilter.h"

#include "core/Text.h"

#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "filters/RecycleBin.h"

namespace brivo {

namespace {
bool IsAsciiAlpha(char c) { return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z'); }

void ReplaceAll(std::string& s, const std::string& from, const std::string& to) {
    for (size_t p = 0; (p = s.find(from, p)) != std::string::npos; p += to.size()) s.replace(p, from.size(), to);
}
} // namespace

std::string NormalizeScopePath(const std::string& path) {
    std::string t(TrimView(path));
    for (char& c : t)
        if (c == '\\') c = '/';
    while (t.find("//") != std::string::npos) ReplaceAll(t, "//", "/");
    if (t.size() >= 3 && IsAsciiAlpha(t[0]) && t[1] == ':' && t[2] == '/')
        t.erase(0, 3);
    else if (t.size() == 2 && IsAsciiAlpha(t[0]) && t[1] == ':')
        t.clear();
    size_t lead = 0;
    while (lead < t.size() && t[lead] == '/') ++lead;
    t.erase(0, lead);
    while (t.size() > 1 && t.back() == '/') t.pop_back();
    for (char& c : t) c = AsciiLower(c);
    return t;
}

void ApplyScopeFilter(TScanState& st, TScanHost& host, TScanWhere mode, const std::string& pathFilter) {
    const size_t n0 = st.FFound.size();
    if (mode == TScanWhere::swDisk) {
        Log(host, Format("Fast scope filter: whole disk, kept %d entries.", {n0}));
        return;
    }
    if (mode == TScanWhere::swDiskImage) {
        Log(host, Format("Fast scope filter: whole disk image, kept %d entries.", {n0}));
        return;
    }
    // Both sides are already lower case, so plain comparisons are the case-blind ones.
    const std::string scope = NormalizeScopePath(pathFilter);
    TFoundFiles kept;
    for (auto& f : st.FFound) {
        const std::string p = NormalizeScopePath(f.FullPath);
        bool keep;
        if (mode == TScanWhere::swFolder) {
            keep = scope.empty() || p == scope || p.rfind(scope + "/", 0) == 0;
        } else {
            keep = p == "$recycle.bin" || p.rfind("$recycle.bin/", 0) == 0 ||
                   p.find("/$recycle.bin/") != std::string::npos;
        }
        if (keep) kept.push_back(std::move(f));
    }
    const size_t nk = kept.size();
    st.FFound = std::move(kept);
    Log(host, Format("Fast scope filter: mode=%d path=\"%s\" kept=%d of %d",
                     {static_cast<int>(mode), pathFilter, nk, n0}));
    if (mode == TScanWhere::swRecycleBin) EnrichRecycleBinResults(st, host);
}

} // namespace brivo
