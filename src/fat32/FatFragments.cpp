#include "fat32/FatFragments.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <map>

namespace brivo {

// How the clusters of a deleted file are chosen.
//
// Deleting a file clears its FAT chain, so only its first cluster and its size are left.
// Read contiguously from the first cluster, a file that was written while other files grew
// comes back with their data in it. Some clusters can be ruled out, though:
//   - clusters the FAT marks in use (live files, bad clusters),
//   - the first cluster of every other deleted entry, file or folder,
//   - clusters known to hold directory data,
//   - clusters that another deleted file's own range takes.
//
// "Its own range" is settled in two steps:
//   1. A file whose contiguous range crosses none of the above is taken as it stands (the
//      engine's reading) when its last cluster also looks like a last cluster: the bytes
//      after the end of the file up to the end of that sector are zero, as every system
//      writing the file leaves them. Such files pin their ranges.
//   2. Every other file, in the order of its first cluster (the order the volume handed them
//      out), takes its first cluster and then the next clusters that are not ruled out, not
//      pinned, and not taken by a file before it. A file that had to skip some cluster also
//      wants its last cluster to look like one; a candidate that does not is skipped too.
//      A file that skips nothing reads as the engine reads it.
// A file stops when the volume ends or after kFatMaxSkippedClusters skipped clusters; its
// plan is then incomplete.
//
// Why the earlier file wins in step 2: when two files grow at the same time the allocator
// hands the next free cluster to whichever asks, and an earlier first cluster means the
// file was there first. A file whose naive range looks sound but whose last cluster does
// not end like a file (step 1 fails) is exactly the one another file cut into.

namespace {

struct TFile {
    uint32_t First = 0;
    uint64_t Need = 0;
    uint64_t Size = 0;
    std::vector<std::string> Addresses;
    bool Pinned = false;
};

class TPlanner {
public:
    TPlanner(const TFatVolumeView& view, const std::unordered_set<uint32_t>& dirClusters)
        : view_(view), dirs_(dirClusters), buf_(view.BytesPerCluster) {}

    std::unordered_set<uint32_t> Firsts;

    // Ruled out for a file whose first cluster is own.
    bool RuledOut(uint32_t c, uint32_t own) const {
        if (c == own) return false;
        if (!view_.IsDataCluster(c)) return true;
        return view_.FatEntry(c) != 0 || Firsts.count(c) || dirs_.count(c);
    }

    // The bytes after the end of the file, to the end of their sector, are zero.
    bool EndsLikeLast(uint32_t c, uint64_t size) {
        const uint64_t bpc = view_.BytesPerCluster;
        const uint64_t used = size % bpc;
        const uint64_t ss = std::max<uint64_t>(1, std::min<uint64_t>(view_.BytesPerSector, bpc));
        if (used == 0 || used % ss == 0) return true;  // no slack to look at
        if (!view_.ReadClusters || !view_.ReadClusters(c, 1, buf_.data())) return false;
        const uint64_t end = (used / ss + 1) * ss;
        return std::all_of(buf_.begin() + static_cast<std::ptrdiff_t>(used), buf_.begin() + static_cast<std::ptrdiff_t>(end),
                           [](uint8_t b) { return b == 0; });
    }

private:
    const TFatVolumeView& view_;
    const std::unordered_set<uint32_t>& dirs_;
    std::vector<uint8_t> buf_;
};

} // namespace

TFatClusterPlans PlanFatClusters(const TFatVolumeView& view, const std::vector<TFatDeletedEntry>& entries,
                                 const std::unordered_set<uint32_t>& dirClusters) {
    TFatClusterPlans plans;
    if (view.BytesPerCluster == 0 || !view.FatEntry) return plans;
    TPlanner planner(view, dirClusters);
    const uint64_t bpc = view.BytesPerCluster;

    // One file per first cluster: two entries sharing it (an alias, a copy kept by the
    // system) are the same data. The larger size decides how far it reaches.
    std::map<uint32_t, TFile> files;
    for (const auto& e : entries) {
        if (!view.IsDataCluster(e.FirstCluster)) continue;
        planner.Firsts.insert(e.FirstCluster);
        // A file whose first cluster is in use again has been overwritten; it claims nothing.
        if (e.IsDir || e.SizeBytes == 0 || view.FatEntry(e.FirstCluster) != 0) continue;
        TFile& f = files[e.FirstCluster];
        f.First = e.FirstCluster;
        f.Size = std::max(f.Size, e.SizeBytes);
        f.Need = (f.Size + bpc - 1) / bpc;
        f.Addresses.push_back(e.Address);
    }

    // Step 1: sound contiguous ranges pin their clusters. Files only ever move forward from
    // their first cluster, so a clean range that ends before the first file that must skip
    // is out of every other file's reach: it is pinned without reading its last cluster
    // (on most volumes no file skips, and the scan reads nothing here).
    std::map<uint32_t, uint32_t> pinned;  // range start (after the first cluster) -> end (inclusive)
    uint64_t firstSkipper = UINT64_MAX;
    for (auto& [first, f] : files) {
        const uint64_t last = uint64_t{first} + f.Need - 1;
        bool clean = last < view.ClusterLimit;
        for (uint64_t c = uint64_t{first} + 1; c <= last && clean; ++c) clean = !planner.RuledOut(uint32_t(c), first);
        f.Pinned = clean;
        if (!clean) firstSkipper = std::min<uint64_t>(firstSkipper, first);
    }
    for (auto& [first, f] : files) {
        if (!f.Pinned) continue;
        const uint64_t last = uint64_t{first} + f.Need - 1;
        if (last >= firstSkipper && !planner.EndsLikeLast(uint32_t(last), f.Size)) {
            f.Pinned = false;
            continue;
        }
        if (f.Need > 1) pinned.emplace(first + 1, uint32_t(last));
    }
    auto isPinned = [&pinned](uint32_t c) {
        auto it = pinned.upper_bound(c);
        if (it == pinned.begin()) return false;
        --it;
        return c >= it->first && c <= it->second;
    };

    // Step 2: the rest, in the order of their first clusters.
    std::unordered_set<uint32_t> taken;
    for (auto& [first, f] : files) {
        if (f.Pinned) continue;
        TFatClusterPlan plan;
        plan.Clusters.push_back(first);
        uint64_t skipped = 0;
        uint64_t c = uint64_t{first} + 1;
        while (plan.Clusters.size() < f.Need) {
            if (c >= view.ClusterLimit || skipped > kFatMaxSkippedClusters) {
                plan.Complete = false;
                break;
            }
            const uint32_t cc = uint32_t(c++);
            bool usable = !planner.RuledOut(cc, first) && !isPinned(cc) && !taken.count(cc);
            if (usable && skipped > 0 && plan.Clusters.size() + 1 == f.Need) usable = planner.EndsLikeLast(cc, f.Size);
            if (!usable) {
                ++skipped;
                continue;
            }
            plan.Clusters.push_back(cc);
        }
        plan.Fragmented = skipped > 0 && plan.Clusters.size() > 1;
        for (uint32_t k : plan.Clusters) taken.insert(k);
        if (!plan.Fragmented && plan.Complete) continue;
        for (const auto& a : f.Addresses) plans[a] = plan;
    }
    return plans;
}

} // namespace brivo
