#include "ntfs/NtfsBootSector.h"

#include <algorithm>
#include <cstring>

#include "core/ByteReaders.h"

namespace brivo {

namespace {
// Values that do not fit the 32-bit fields count as invalid rather than wrapping.
int32_t ClampToInt32(int64_t v) { return (v > INT32_MAX || v < INT32_MIN) ? -1 : static_cast<int32_t>(v); }
} // namespace

TNtfsGeometryResult ReadNtfsGeometry(NtfsBytes boot, TNtfsGeometry& geo) {
    geo = {};
    if (boot.size() < 7 || std::memcmp(boot.data() + 3, "NTFS", 4) != 0) return TNtfsGeometryResult::NotNtfs;
    geo.BytesPerSector = ReadLe16(boot, 11);
    // Sectors per cluster is taken as a plain count: 0x80 with 512-byte sectors is 64 KiB.
    geo.BytesPerCluster = geo.BytesPerSector * static_cast<int32_t>(ReadU8(boot, 13));
    geo.MftLcn = static_cast<int64_t>(ReadLe64(boot, 48));
    const uint64_t sectorsPerCluster = ReadU8(boot, 13);
    geo.ClusterCount = static_cast<int64_t>(
        std::min<uint64_t>(ReadLe64(boot, 40) / std::max<uint64_t>(sectorsPerCluster, 1), INT64_MAX / 2));
    const int8_t c = static_cast<int8_t>(ReadU8(boot, 64));
    if (c < 0) {
        // 2^|c| bytes; the shift count wraps at 32 and 2^31 does not fit a positive size.
        geo.RecordSize = ClampToInt32(int64_t{1} << ((-static_cast<int>(c)) % 32));
    } else {
        geo.RecordSize = ClampToInt32(static_cast<int64_t>(c) * geo.BytesPerCluster);
    }
    if (geo.BytesPerSector < 1 || geo.BytesPerCluster < 1 || geo.RecordSize < 1 || geo.MftLcn < 1)
        return TNtfsGeometryResult::Invalid;
    return TNtfsGeometryResult::Ok;
}

} // namespace brivo
