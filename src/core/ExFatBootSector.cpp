#include "core/ExFatBootSector.h"

#include <algorithm>
#include <cstring>

namespace brivo {

namespace {

// The fields every use of an exFAT boot sector reads, at their offsets.
struct TRawBoot {
    uint8_t SectorShift = 0;
    uint8_t ClusterShift = 0;
    uint8_t Fats = 0;
    uint64_t Sectors = 0;
    uint32_t FatOffsetSectors = 0;
    uint32_t FatLengthSectors = 0;
    uint32_t HeapOffsetSectors = 0;
    uint32_t ClusterCount = 0;
    uint32_t RootCluster = 0;
    uint32_t Serial = 0;
    uint16_t Flags = 0;
};

// The name and the end mark; false for anything shorter than a sector.
bool HasNameAndMark(ByteSpan s) {
    return s.size() >= 512 && std::memcmp(s.data() + 3, "EXFAT   ", 8) == 0 && ReadLe16(s, 510) == 0xAA55;
}

TRawBoot Raw(ByteSpan s) {
    TRawBoot r;
    r.Sectors = ReadLe64(s, 72);
    r.FatOffsetSectors = ReadLe32(s, 80);
    r.FatLengthSectors = ReadLe32(s, 84);
    r.HeapOffsetSectors = ReadLe32(s, 88);
    r.ClusterCount = ReadLe32(s, 92);
    r.RootCluster = ReadLe32(s, 96);
    r.Serial = ReadLe32(s, 100);
    r.Flags = ReadLe16(s, 106);
    r.SectorShift = ReadU8(s, 108);
    r.ClusterShift = ReadU8(s, 109);
    r.Fats = ReadU8(s, 110);
    return r;
}

// 512 B to 4 KiB sectors, clusters up to 32 MiB.
bool ShiftsInRange(const TRawBoot& r) {
    return r.SectorShift >= 9 && r.SectorShift <= 12 && r.ClusterShift <= 25 - r.SectorShift;
}

// No volume is larger: keeps every product of a sector count and a sector size in range.
constexpr uint64_t kMaxVolumeBytes = uint64_t{1} << 56;

} // namespace

bool IsExFatBootSector(ByteSpan s) {
    if (!HasNameAndMark(s)) return false;
    const TRawBoot r = Raw(s);
    return ShiftsInRange(r) && r.Fats >= 1;
}

uint32_t ExFatBootChecksum(ByteSpan region, uint32_t bytesPerSector) {
    uint32_t sum = 0;
    const size_t n = std::min<size_t>(region.size(), size_t{bytesPerSector} * 11);
    for (size_t i = 0; i < n; ++i) {
        if (i == 106 || i == 107 || i == 112) continue;
        sum = ((sum & 1) ? 0x80000000u : 0u) + (sum >> 1) + region[i];
    }
    return sum;
}

bool ParseExFatBootSector(ByteSpan s, TExFatBoot& boot, std::string& why) {
    if (s.size() < 512 || std::memcmp(s.data() + 3, "EXFAT   ", 8) != 0) {
        why = "no exFAT signature";
        return false;
    }
    if (ReadLe16(s, 510) != 0xAA55) {
        why = "no boot signature";
        return false;
    }
    const TRawBoot r = Raw(s);
    if (!ShiftsInRange(r)) {
        why = "the sector or cluster size is out of range";
        return false;
    }
    if (r.Fats != 1 && r.Fats != 2) {
        why = "the FAT count is out of range";
        return false;
    }
    TExFatBoot b;
    const unsigned shift = r.SectorShift;
    b.BytesPerSector = 1u << shift;
    b.BytesPerCluster = 1u << (shift + r.ClusterShift);
    b.VolumeBytes = r.Sectors << shift;
    const uint64_t fatLen = r.FatLengthSectors;
    const uint32_t activeFat = (r.Fats == 2 && (r.Flags & 1)) ? 1 : 0;
    b.FatOffset = (uint64_t{r.FatOffsetSectors} + activeFat * fatLen) << shift;
    b.FatBytes = fatLen << shift;
    b.HeapOffset = uint64_t{r.HeapOffsetSectors} << shift;
    b.ClusterCount = r.ClusterCount;
    b.RootCluster = r.RootCluster;
    b.SerialNumber = r.Serial;
    if (b.ClusterCount == 0 || b.ClusterCount > 0xFFFFFFF5u || b.FatBytes / 4 < uint64_t{b.ClusterCount} + 2) {
        why = "the cluster count does not fit the FAT";
        return false;
    }
    if (b.RootCluster < kExFatFirstCluster || b.RootCluster >= uint64_t{b.ClusterCount} + kExFatFirstCluster) {
        why = "the root directory cluster is outside the volume";
        return false;
    }
    if (b.HeapOffset == 0 || b.FatOffset == 0) {
        why = "the FAT or cluster heap offset is zero";
        return false;
    }
    boot = b;
    return true;
}

std::optional<TVolumeFacts> ExFatVolumeFacts(ByteSpan s) {
    if (!HasNameAndMark(s)) return {};
    for (size_t i = 11; i < 64; ++i)
        if (s[i] != 0) return {};
    const TRawBoot r = Raw(s);
    if (!ShiftsInRange(r) || (r.Fats != 1 && r.Fats != 2)) return {};
    const unsigned shift = r.SectorShift;
    if (r.Sectors == 0 || r.Sectors >= (kMaxVolumeBytes >> shift) || r.FatOffsetSectors < 2 * kExFatBootRegionSectors ||
        r.FatOffsetSectors >= r.Sectors)
        return {};
    TVolumeFacts f;
    f.Kind = TFsKind::ExFat;
    f.BytesPerSector = 1u << shift;
    f.LengthBytes = r.Sectors << shift;
    f.BackupOffset = uint64_t{kExFatBootRegionSectors} << shift;
    f.StructureOffset = uint64_t{r.FatOffsetSectors} << shift;
    f.Serial = r.Serial;
    f.ClusterBytes = uint32_t{1} << (shift + r.ClusterShift);
    f.CopyBytes = uint64_t{kExFatBootRegionSectors} << shift;
    f.MayBeBackup = true;
    return f;
}

bool ExFatStructureLooksRight(const TVolumeFacts&, ByteSpan b) { return ReadLe32(b, 0) == 0xFFFFFFF8; }

} // namespace brivo
