#include "exfat/ExFatFreeSpace.h"

#include <algorithm>
#include <charconv>

#include "core/ByteReaders.h"
#include "core/ReaderResult.h"

namespace brivo {

std::vector<TByteExtent> ExFatFreeAreas(TExFatVolume& vol) {
    std::vector<TByteExtent> runs;
    if (!vol.HasBitmap()) return runs;
    const uint64_t size = vol.Source().Size();
    for (uint64_t c = kExFatFirstCluster; c < vol.ClusterLimit(); ++c) {
        if (vol.IsAllocated(static_cast<uint32_t>(c))) continue;
        const uint64_t at = vol.ClusterOffset(static_cast<uint32_t>(c));
        if (at >= size) break;
        AddFreeRun(runs, at, std::min<uint64_t>(vol.BytesPerCluster(), size - at));
    }
    return runs;
}

std::vector<uint64_t> ExFatKnownStarts(TExFatVolume& vol, const TFoundFiles& found) {
    std::vector<uint64_t> starts;
    for (const TFoundFile& f : found) {
        uint64_t address = 0;
        const char* end = f.Inode.data() + f.Inode.size();
        if (f.Inode.empty() || std::from_chars(f.Inode.data(), end, address).ptr != end || address < 3) continue;
        uint8_t entry[32];
        if (!vol.Source().ReadExact(vol.EntryOffsetOf(address) + 32, entry, sizeof entry)) continue;
        if ((entry[0] & 0x7F) != 0x40) continue;  // not a stream extension entry, in use or deleted
        const uint32_t first = ReadLe32(ByteSpan(entry, sizeof entry), 20);
        if (vol.IsDataCluster(first)) starts.push_back(vol.ClusterOffset(first));
    }
    return starts;
}

} // namespace brivo
