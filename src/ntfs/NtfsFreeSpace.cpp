#include "ntfs/NtfsFreeSpace.h"

#include <algorithm>

#include "core/ReaderResult.h"

namespace brivo {

std::vector<TByteExtent> NtfsFreeAreas(const TNtfsClusterBitmap& bm, uint64_t bytesPerCluster, uint64_t volumeBytes) {
    std::vector<TByteExtent> runs;
    if (!bm.Loaded || bytesPerCluster == 0) return runs;
    const uint64_t clusters = std::min<uint64_t>(uint64_t{bm.Bits.size()} * 8, volumeBytes / bytesPerCluster);
    for (uint64_t c = 0; c < clusters;) {
        const uint8_t byte = bm.Bits[c / 8];
        if (c % 8 == 0 && byte == 0xFF) {
            c += 8;
            continue;
        }
        if (c % 8 == 0 && byte == 0 && c + 8 <= clusters) {
            AddFreeRun(runs, c * bytesPerCluster, 8 * bytesPerCluster);
            c += 8;
            continue;
        }
        if (!(byte & (1u << (c % 8)))) AddFreeRun(runs, c * bytesPerCluster, bytesPerCluster);
        ++c;
    }
    return runs;
}

} // namespace brivo
