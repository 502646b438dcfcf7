#pragma once
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/ClusterCondition.h"
#include "ntfs/NtfsTypes.h"
#include "ntfs/NtfsVolume.h"

namespace brivo {

// The volume's cluster allocation bitmap ($Bitmap, record 6): bit c%8 of byte c/8 is 1
// when cluster c is in use.
struct TNtfsClusterBitmap {
    std::vector<uint8_t> Bits;
    bool Loaded = false;
};

// Largest $Bitmap accepted: 2^31 clusters.
inline constexpr int64_t kMaxClusterBitmapBytes = 0x10000000;

// Loads the data of record 6's first $DATA attribute. False (bitmap empty) when the record
// cannot be read, the attribute is missing, its size is 0, above kMaxClusterBitmapBytes
// or above the source itself, or a run cannot be read.
bool LoadClusterBitmap(const TNtfsVolume& vol, TNtfsClusterBitmap& bm);

// Clusters outside the bitmap, negative ones, and every cluster of an unloaded bitmap
// count as not in use.
bool IsClusterInUse(const TNtfsClusterBitmap& bm, int64_t cluster);

using TNtfsCondition = TClusterCondition;

// How much of a deleted file's former clusters the volume has handed out again: the first
// kConditionSampleClusters clusters of its runs (in run order; sparse and empty runs
// skipped) are tested against the bitmap.
TNtfsCondition EstimateRunCondition(const TNtfsClusterBitmap& bm, const TNtfsRuns& runs,
                                    const TTranslateFn& translate = {});

} // namespace brivo
