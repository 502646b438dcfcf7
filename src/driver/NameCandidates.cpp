#include "driver/NameCandidates.h"

#include <algorithm>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "carve/CarveFormat.h"
#include "carve/ContentSearch.h"
#include "core/TextFormat.h"

namespace brivo {

namespace {

constexpr const char* kOneCandidate = "Name only: 1 file of this kind found in the same area";
constexpr const char* kCandidates = "Name only: %d files of this kind found in the same area";

bool ProvenWhole(const TFoundFile& f) { return f.DamageScore >= kCarveCompleteScore; }

} // namespace

bool KindFoundByContent(const std::string& path) {
    static const std::unordered_set<std::string> kinds = [] {
        std::unordered_set<std::string> k;
        for (const carve::TCarveFormat& f : carve::CarveFormats())
            for (std::string_view e : f.Exts) k.insert(ContentKindOfPath("." + std::string(e)));
        return k;
    }();
    const std::string kind = ContentKindOfPath(path);
    return !kind.empty() && kinds.count(kind) != 0;
}

std::string ContentKindOfPath(const std::string& path) {
    const size_t slash = path.find_last_of("/\\");
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash) || dot + 1 == path.size()) return {};
    std::string t = path.substr(dot + 1);
    for (char& c : t)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (t == "jpeg" || t == "jpe") return "jpg";
    if (t == "tiff") return "tif";
    if (t == "gzip") return "gz";
    return t;
}

void ShowNamesBesideContent(TReaderResult& r, TFoundFiles& content, TReaderReport& report) {
    std::vector<TNameWithoutContent> names = std::move(r.NamesWithoutContent);
    r.NamesWithoutContent.clear();
    if (names.empty() || content.empty()) return;
    // The finds of each kind by where they start.
    std::unordered_map<std::string, std::vector<std::pair<uint64_t, size_t>>> byKind;
    for (size_t i = 0; i < content.size(); ++i) {
        const TFoundFile& c = content[i];
        if (c.FoundBy != TFoundBy::Content || c.Extents.empty()) continue;
        const std::string kind = ContentKindOfPath(c.FullPath);
        if (!kind.empty()) byKind[kind].emplace_back(c.Extents.front().Offset, i);
    }
    for (auto& [kind, starts] : byKind) std::sort(starts.begin(), starts.end());
    // A listed name's row is in r.Found (fetched afresh: the list grows below).
    auto rowOf = [&](const TNameWithoutContent& n) -> const TFoundFile& {
        return n.Index == TNameWithoutContent::kNotListed || n.Index >= r.Found.size() ? n.Row : r.Found[n.Index];
    };
    std::vector<std::vector<size_t>> near(names.size());
    for (size_t k = 0; k < names.size(); ++k) {
        const TNameWithoutContent& n = names[k];
        const auto it = byKind.find(ContentKindOfPath(rowOf(n).FullPath));
        if (it == byKind.end() || n.Area.Length == 0) continue;
        const auto& starts = it->second;
        auto at = std::lower_bound(starts.begin(), starts.end(), std::make_pair(n.Area.Offset, size_t{0}));
        for (; at != starts.end() && at->first - n.Area.Offset < n.Area.Length; ++at) near[k].push_back(at->second);
    }

    // Joins first, so no name lists as a candidate a find another name's proof took.
    std::vector<bool> taken(content.size(), false), joinedName(names.size(), false);
    std::vector<bool> drop(r.Found.size(), false);
    uint64_t joined = 0, beside = 0;
    for (size_t k = 0; k < names.size(); ++k) {
        const TNameWithoutContent& n = names[k];
        if (n.ProvenSize == 0) continue;
        size_t proof = SIZE_MAX, matches = 0;
        for (size_t i : near[k])
            if (!taken[i] && ProvenWhole(content[i]) && static_cast<uint64_t>(content[i].SizeBytes) == n.ProvenSize) {
                proof = i;
                ++matches;
            }
        if (matches != 1) continue;
        TFoundFile& c = content[proof];
        const TFoundFile& name = rowOf(n);
        c.FullPath = name.FullPath;
        if (name.HasModDate) {
            c.ModDateUtc = name.ModDateUtc;
            c.HasModDate = true;
        }
        if (name.HasCreateDate) {
            c.CreateDateUtc = name.CreateDateUtc;
            c.HasCreateDate = true;
        }
        taken[proof] = true;
        joinedName[k] = true;
        if (n.Index == TNameWithoutContent::kNotListed) {
            if (r.HiddenByCleanup) --r.HiddenByCleanup;
        } else if (n.Index < drop.size()) {
            drop[n.Index] = true;
        }
        ++joined;
    }
    for (size_t k = 0; k < names.size(); ++k) {
        TNameWithoutContent& n = names[k];
        if (joinedName[k]) continue;
        std::vector<std::string> paths;
        for (size_t i : near[k])
            if (!taken[i]) paths.push_back(content[i].FullPath);
        if (paths.empty()) continue;
        if (n.Index == TNameWithoutContent::kNotListed) {
            if (r.HiddenByCleanup) --r.HiddenByCleanup;
            n.Index = r.Found.size();
            r.Found.push_back(std::move(n.Row));
            drop.push_back(false);
        }
        if (n.Index >= r.Found.size()) continue;
        TFoundFile& row = r.Found[n.Index];
        row.DamageText = paths.size() == 1 ? report.Translate(kOneCandidate)
                                           : Format(report.Translate(kCandidates), {static_cast<uint64_t>(paths.size())});
        row.DamageScore = -1;
        row.Candidates = std::move(paths);
        ++beside;
    }
    if (joined) {
        size_t kept = 0;
        for (size_t i = 0; i < r.Found.size(); ++i)
            if (!drop[i]) {
                if (kept != i) r.Found[kept] = std::move(r.Found[i]);
                ++kept;
            }
        r.Found.resize(kept);
    }
    if (joined || beside)
        report.Log("Content search: " + std::to_string(joined) + " names without content joined to a find of their size and kind, " +
                   std::to_string(beside) + " listed beside the finds of their kind in the same area");
}

} // namespace brivo
