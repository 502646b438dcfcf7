#include "fat32/FatFreeSpace.h"

#include <algorithm>

#include "core/ReaderResult.h"

namespace brivo {

std::vector<TByteExtent> FatFreeAreas(TFat32Volume& vol) {
    std::vector<TByteExtent> runs;
    if (vol.BytesPerCluster == 0 || vol.DataOffset < 0) return runs;
    const uint64_t size = vol.Source ? vol.Source->Size() : 0;
    for (uint32_t c = 2; c < vol.ClusterLimit; ++c) {
        if (ReadFatEntry(vol, c) != 0) continue;
        const uint64_t at = static_cast<uint64_t>(ClusterToOffset(vol, c));
        if (at >= size) break;
        AddFreeRun(runs, at, std::min<uint64_t>(vol.BytesPerCluster, size - at));
    }
    return runs;
}

} // namespace brivo
