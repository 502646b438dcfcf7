#include "exfat/ExFatLayout.h"

#include <unordered_set>

namespace brivo {

namespace {

uint64_t ClustersFor(const TExFatVolume& vol, uint64_t bytes) {
    const uint64_t bpc = vol.BytesPerCluster();
    return bpc ? (bytes + bpc - 1) / bpc : 0;
}

bool FollowChain(TExFatVolume& vol, uint32_t first, uint64_t need, bool freeOnly, TExFatLayout& out) {
    std::unordered_set<uint32_t> seen;
    uint32_t c = first;
    for (uint64_t i = 0; i < need; ++i) {
        if (!vol.IsDataCluster(c) || !seen.insert(c).second) return false;
        // A freed cluster handed out again carries its new owner's link.
        if (freeOnly && i > 0 && vol.IsAllocated(c)) return false;
        out.Clusters.push_back(c);
        if (i + 1 < need) c = vol.FatEntry(c);
    }
    return true;
}

} // namespace

TExFatLayout ExFatFileLayout(TExFatVolume& vol, const TExFatEntrySet& set, bool deleted, uint64_t maxClusters) {
    TExFatLayout out;
    uint64_t need = ClustersFor(vol, set.DataLength);
    if (need == 0) {
        out.Complete = true;
        return out;
    }
    const bool capped = maxClusters && need > maxClusters;
    if (capped) need = maxClusters;
    if (!vol.IsDataCluster(set.FirstCluster) || need > vol.Boot().ClusterCount) return out;
    const uint32_t first = set.FirstCluster;
    if (!set.NoFatChain) {
        out.FromFat = true;
        if (FollowChain(vol, first, need, deleted, out)) {
            out.Complete = !capped;
            return out;
        }
        out.Clusters.clear();
        out.FromFat = false;
        if (!deleted) return out;
        // No believable chain: consecutive free clusters from the first one on.
        for (uint64_t c = first; c < vol.ClusterLimit() && out.Clusters.size() < need; ++c)
            if (c == first || !vol.IsAllocated(static_cast<uint32_t>(c))) out.Clusters.push_back(static_cast<uint32_t>(c));
        out.Complete = !capped && out.Clusters.size() == need;
        return out;
    }
    for (uint64_t i = 0; i < need && vol.IsDataCluster(first + i); ++i) out.Clusters.push_back(static_cast<uint32_t>(first + i));
    out.Complete = !capped && out.Clusters.size() == need;
    return out;
}

TClusterCondition ExFatCondition(TExFatVolume& vol, const TExFatEntrySet& set,
                                 const std::function<std::string(const std::string&)>& translate) {
    int64_t tested = 0, used = 0;
    bool sampled = ClustersFor(vol, set.DataLength) > static_cast<uint64_t>(kConditionSampleClusters);
    if (vol.HasBitmap() && vol.IsDataCluster(set.FirstCluster)) {
        TExFatEntrySet probe = set;
        // A chain that is not believable says nothing; the engine's reading from the first
        // cluster on is what gets copied then, so that is what is tested.
        TExFatLayout l = ExFatFileLayout(vol, probe, true, kConditionSampleClusters);
        if (!l.FromFat) {
            probe.NoFatChain = true;
            l = ExFatFileLayout(vol, probe, true, kConditionSampleClusters);
        }
        for (uint32_t c : l.Clusters) {
            ++tested;
            if (vol.IsAllocated(c)) ++used;
        }
    } else {
        sampled = false;
    }
    return ConditionFromReuse(tested, used, sampled, translate);
}

} // namespace brivo
