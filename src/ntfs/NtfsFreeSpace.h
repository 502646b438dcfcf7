#pragma once
#include <cstdint>
#include <vector>

#include "core/FoundFile.h"
#include "ntfs/NtfsCondition.h"

namespace brivo {

// The clusters $Bitmap marks free, as merged byte runs of a volume of volumeBytes; none
// when the bitmap did not load (the caller then knows nothing of the free space).
std::vector<TByteExtent> NtfsFreeAreas(const TNtfsClusterBitmap& bm, uint64_t bytesPerCluster, uint64_t volumeBytes);

} // namespace brivo
