#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "fat32/FatVolumeView.h"

namespace brivo {

// A deleted entry as the cluster planner sees it. Folders take part only through their
// first cluster, which no file can share.
struct TFatDeletedEntry {
    std::string Address;   // the result's metadata address; the plans are keyed by it
    uint32_t FirstCluster = 0;
    uint64_t SizeBytes = 0;
    bool IsDir = false;
};

// The clusters a deleted file's content is read from, in order.
struct TFatClusterPlan {
    std::vector<uint32_t> Clusters;
    // Clusters between its first and last were passed over because they cannot be this file's.
    bool Fragmented = false;
    // False when the clusters stop before the file's size is reached: no candidate was left,
    // or the range runs off the volume. Only the bytes the clusters hold can be recovered.
    bool Complete = true;
};

// Plans of the deleted files whose content does not simply follow their first cluster:
// those that had to skip clusters, and those cut short. A file without a plan here is read
// contiguously from its first cluster, as the engine reads it.
using TFatClusterPlans = std::unordered_map<std::string, TFatClusterPlan>;

// A fragmented file gives up after passing over this many clusters.
inline constexpr uint32_t kFatMaxSkippedClusters = 4096;

// Chooses the clusters of every deleted file in entries. dirClusters: clusters known to hold
// directory data (read by the walk or found by the sweep), which no file can use.
TFatClusterPlans PlanFatClusters(const TFatVolumeView& view, const std::vector<TFatDeletedEntry>& entries,
                                 const std::unordered_set<uint32_t>& dirClusters);

} // namespace brivo
