#include "fat32/FatResultSpans.h"

#include <algorithm>
#include <charconv>
#include <optional>

#include "core/ByteReaders.h"
#include "core/ReaderReport.h"
#include "fat32/Fat32Log.h"
#include "fat32/Fat32Volume.h"
#include "fat32/FatDirEntry.h"

namespace brivo {

TFatSpansOf MakeFatResultSpans(TByteSource& volume, std::shared_ptr<const TClusterPlanMap> plans) {
    auto vol = std::make_shared<std::optional<TFat32Volume>>();
    try {
        TNullReport quiet;
        TFat32Log log(quiet);
        *vol = OpenFat32Volume(volume, log);
        if ((*vol)->BytesPerCluster == 0) vol->reset();
    } catch (const std::exception&) {
        vol->reset();
    }
    return [vol, plans](const TFoundFile& f) {
        std::vector<TByteExtent> spans;
        if (!vol->has_value()) return spans;
        TFat32Volume& v = **vol;
        uint64_t address = 0;
        const auto r = std::from_chars(f.Inode.data(), f.Inode.data() + f.Inode.size(), address);
        if (r.ec != std::errc() || r.ptr != f.Inode.data() + f.Inode.size() || address < 3 ||
            address - 3 > (uint64_t{1} << 40))
            return spans;
        const int64_t entry = FatAddressBase(v) + static_cast<int64_t>((address - 3) * kDirEntrySize);
        spans.push_back({static_cast<uint64_t>(entry), kDirEntrySize});
        const uint64_t bpc = v.BytesPerCluster;
        auto addCluster = [&](uint32_t c) {
            if (c < 2 || c >= v.ClusterLimit) return;
            const uint64_t at = static_cast<uint64_t>(ClusterToOffset(v, c));
            if (!spans.empty() && spans.back().Offset + spans.back().Length == at) spans.back().Length += bpc;
            else spans.push_back({at, bpc});
        };
        if (plans) {
            if (const auto it = plans->find(f.Inode); it != plans->end()) {
                for (uint32_t c : it->second) addCluster(c);
                return spans;
            }
        }
        // The entry as the disk gives it now (zeros where it could not be read, and then
        // the entry's own span already names the result).
        std::vector<uint8_t> e;
        if (!ReadVolumeBytes(v, entry, kDirEntrySize, e) || e.size() < kDirEntrySize) return spans;
        const uint32_t first = EntryStartCluster(e);
        const uint64_t size = ReadLe32(e, 28);
        if (size == 0 || first < 2 || first >= v.ClusterLimit) return spans;
        const uint64_t count = std::min<uint64_t>((size + bpc - 1) / bpc, v.ClusterLimit - first);
        spans.push_back({static_cast<uint64_t>(ClusterToOffset(v, first)), count * bpc});
        return spans;
    };
}

} // namespace brivo
