#include "core/FsDetect.h"

#include <array>

#include "core/FatBootSector.h"
#include "core/NtfsBootSector.h"
#include "platform/Devices.h"
#include "platform/RawSource.h"

namespace brivo {

TFsKind DetectFileSystemFromBootSector(ByteSpan sector) {
    if (sector.size() < kBootSectorSize) return TFsKind::NotRecognised;
    if (IsNtfsBootSector(sector)) return TFsKind::Ntfs;
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

std::string FsSwitchForKind(TFsKind kind) {
    switch (kind) {
        case TFsKind::Ntfs: return " -f ntfs";
        case TFsKind::Fat12:
        case TFsKind::Fat16:
        case TFsKind::Fat32: return " -f fat";
        case TFsKind::ExFat: return " -f exfat";
        case TFsKind::NotRecognised: break;
    }
    return {};
}

std::string FatWidthText(const std::string& widthName, std::string text) {
    if (widthName == "FAT32" || widthName.empty()) return text;
    for (size_t at = text.find("FAT32"); at != std::string::npos; at = text.find("FAT32", at + widthName.size()))
        text.replace(at, 5, widthName);
    return text;
}

std::string FsKindName(TFsKind kind) {
    switch (kind) {
        case TFsKind::Ntfs: return "NTFS";
        case TFsKind::Fat32: return "FAT32";
        case TFsKind::Fat16: return "FAT16";
        case TFsKind::Fat12: return "FAT12";
        case TFsKind::ExFat: return "exFAT";
        case TFsKind::NotRecognised: break;
    }
    return "not recognised";
}

} // namespace brivo
