#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/ClusterCondition.h"
#include "exfat/ExFatEntrySet.h"
#include "exfat/ExFatVolume.h"

namespace brivo {

// Where a file's bytes are, in cluster order.
struct TExFatLayout {
    std::vector<uint32_t> Clusters;
    // False when the clusters stop short of the data length (the volume ends, a live chain
    // breaks): only what they hold can be copied.
    bool Complete = false;
    // Read along the FAT (as opposed to consecutive clusters from the first one).
    bool FromFat = false;
};

// The clusters of a file's data: consecutive from the first cluster when the stream says
// there is no FAT chain; otherwise along the FAT. A deleted file's chain is followed only
// while it is believable (every link a free cluster of the volume, no loop, as long as
// the data); when it is not, the data is taken as the engine takes it, from the first
// cluster on, passing over clusters handed out again.
TExFatLayout ExFatFileLayout(TExFatVolume& vol, const TExFatEntrySet& set, bool deleted, uint64_t maxClusters = 0);

// The condition of a deleted file: of the clusters it occupied (read as its layout says),
// how many the allocation bitmap hands out again.
TClusterCondition ExFatCondition(TExFatVolume& vol, const TExFatEntrySet& set,
                                 const std::function<std::string(const std::string&)>& translate = {});

} // namespace brivo
