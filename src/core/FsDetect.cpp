#include "core/FsDetect.h"

#include <cstring>

#include <array>

#include "core/FatBootSector.h"
#include "core/NtfsBootSector.h"
#include "platform/Devices.h"
#include "platform/RawSource.h"

namespace brivo {

// An exFAT main boot sector: its file-system name, the end mark, and sector and cluster
// shifts in the ranges the format allows (512 B to 4 KiB sectors, clusters up to 32 MiB).
bool IsExFatBootSector(ByteSpan s) {
    if (s.size() < kBootSectorSize || std::memcmp(s.data() + 3, "EXFAT   ", 8) != 0) return false;
    if (ReadLe16(s, 510) != 0xAA55) return false;
    const uint64_t sectorShift = ReadU8(s, 108);
    const uint64_t clusterShift = ReadU8(s, 109);
    return sectorShift >= 9 && sectorShift <= 12 && sectorShift + clusterShift <= 25 && ReadU8(s, 110) >= 1;
}

TFsKind DetectFileSystemFromBootSector(ByteSpan sector) {
    if (sector.size() < kBootSectorSize) return TFsKind::NotRecognised;
    if (IsNtfsBootSector(sector)) return TFsKind::Ntfs;
    if (IsExFatBootSector(sector)) return TFsKind::ExFat;
    TFatBootSector fat;
    if (!DecodeFatBootSector(sector, fat)) return TFsKind::NotRecognised;
    switch (fat.FatBits) {
        case 12: return TFsKind::Fat12;
        case 16: return TFsKind::Fat16;
        default: return TFsKind::Fat32;
    }
}

TFsKind DetectFileSystemOfSource(const TRawSource& source) {
    std::array<uint8_t, kBootSectorSize> sector{};
    const int64_t n = source.ReadAt(0, sector.data(), sector.size());
    if (n != static_cast<int64_t>(sector.size())) return TFsKind::NotRecognised;
    return DetectFileSystemFromBootSector(ByteSpan(sector.data(), sector.size()));
}

TFsKind DetectFileSystem(const std::string& src) {
    TRawSource source;
    int err = 0;
    if (!source.Open(src, err)) {
        if (IsDeviceSource(src)) return TFsKind::NotRecognised;
        throw std::runtime_error(ErrnoText(err) + ": " + src);
    }
    return DetectFileSystemOfSource(source);
}

std::string FatWidthText(const std::string& widthName, std::string text) {
    if (widthName == "FAT32" || widthName.empty()) return text;
    for (size_t at = text.find("FAT32"); at != std::string::npos; at = text.find("FAT32", at + widthName.size()))
        text.replace(at, 5, widthName);
    return text;
}

} // namespace brivo
