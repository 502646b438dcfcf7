#include "core/FatBootSector.h"

#include <cstring>

namespace brivo {

namespace {

constexpr uint64_t kMinFat16Clusters = 4085;
constexpr uint64_t kMinFat32Clusters = 65525;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool Refuse(std::string* why, const char* reason) {
    if (why) *why = reason;
    return false;
}

} // namespace

bool DecodeFatBootSector(ByteSpan s, TFatBootSector& out, std::string* why) {
    out = {};
    if (s.size() < 512) return Refuse(why, "shorter than a sector");
    if (ReadLe16(s, 510) != 0xAA55) return Refuse(why, "no boot sector mark");
    TFatBootSector b;
    b.BytesPerSector = ReadLe16(s, 11);
    b.SectorsPerCluster = ReadU8(s, 13);
    b.ReservedSectors = ReadLe16(s, 14);
    b.NumberOfFats = ReadU8(s, 16);
    b.RootEntries = ReadLe16(s, 17);
    b.Media = ReadU8(s, 21);
    const uint16_t total16 = ReadLe16(s, 19);
    b.TotalSectors = total16 != 0 ? total16 : ReadLe32(s, 32);
    const uint16_t fat16Size = ReadLe16(s, 22);
    const bool fat32 = fat16Size == 0;
    b.FatSectors = fat32 ? ReadLe32(s, 36) : fat16Size;

    if (!IsPowerOfTwo(b.BytesPerSector) || b.BytesPerSector < 512 || b.BytesPerSector > 4096)
        return Refuse(why, "bytes per sector not 512, 1024, 2048 or 4096");
    if (!IsPowerOfTwo(b.SectorsPerCluster)) return Refuse(why, "sectors per cluster not a power of two");
    if (b.ReservedSectors == 0) return Refuse(why, "no reserved sectors");
    if (b.NumberOfFats < 1 || b.NumberOfFats > 4) return Refuse(why, "not 1 to 4 FATs");
    if (b.Media != 0xF0 && b.Media < 0xF8) return Refuse(why, "no media byte");
    if (b.FatSectors == 0) return Refuse(why, "FAT size 0");
    uint64_t rootSectors = 0;
    if (fat32) {
        b.RootCluster = ReadLe32(s, 44);
        if (b.RootCluster < 2) return Refuse(why, "FAT32 root cluster below 2");
    } else {
        if (b.RootEntries == 0) return Refuse(why, "no root directory region");
        rootSectors = (uint64_t{b.RootEntries} * 32 + b.BytesPerSector - 1) / b.BytesPerSector;
    }
    const uint64_t overhead = b.ReservedSectors + uint64_t{b.NumberOfFats} * b.FatSectors + rootSectors;
    if (b.TotalSectors <= overhead) return Refuse(why, "no data region");
    b.DataSectors = b.TotalSectors - overhead;
    b.Clusters = b.DataSectors / b.SectorsPerCluster;
    if (fat32) b.FatBits = 32;
    else if (b.Clusters < kMinFat16Clusters) b.FatBits = 12;
    else if (b.Clusters < kMinFat32Clusters) b.FatBits = 16;
    else return Refuse(why, "more clusters than a 16-bit FAT numbers");
    out = b;
    return true;
}

TFsKind FatKindOfBootSector(ByteSpan sector) {
    TFatBootSector fat;
    if (!DecodeFatBootSector(sector, fat)) return TFsKind::NotRecognised;
    switch (fat.FatBits) {
        case 12: return TFsKind::Fat12;
        case 16: return TFsKind::Fat16;
        default: return TFsKind::Fat32;
    }
}

bool IsFatVolumeBootRecord(ByteSpan sector) {
    if (sector.size() < 512) return false;
    const uint8_t jump = sector[0];
    TFatBootSector fat;
    return (jump == 0xEB || jump == 0xE9) && DecodeFatBootSector(sector, fat);
}

std::optional<TVolumeFacts> FatVolumeFacts(ByteSpan s) {
    const auto named = [&s](const char* text) { return std::memcmp(s.data() + 3, text, 8) == 0; };
    TFatBootSector b;
    if (!IsFatVolumeBootRecord(s) || named("NTFS    ") || named("EXFAT   ") || !DecodeFatBootSector(s, b)) return {};
    TVolumeFacts f;
    f.Kind = b.FatBits == 12 ? TFsKind::Fat12 : b.FatBits == 16 ? TFsKind::Fat16 : TFsKind::Fat32;
    const uint64_t bps = b.BytesPerSector;
    f.BytesPerSector = b.BytesPerSector;
    f.LengthBytes = b.TotalSectors * bps;
    f.StructureOffset = uint64_t{b.ReservedSectors} * bps;
    f.Media = b.Media;
    f.ClusterBytes = static_cast<uint32_t>(bps * b.SectorsPerCluster);
    f.Serial = ReadLe32(s, b.FatBits == 32 ? 67 : 39);
    if (b.FatBits == 32) {
        const uint64_t backup = ReadLe16(s, 50);
        if (backup != 0 && backup < b.ReservedSectors) f.BackupOffset = backup * bps;
    }
    f.CopyBytes = bps;
    f.MayBeBackup = true;
    return f;
}

bool FatStructureLooksRight(const TVolumeFacts& f, ByteSpan b) { return ReadU8(b, 0) == f.Media && ReadU8(b, 1) == 0xFF; }

} // namespace brivo
