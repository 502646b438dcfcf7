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

std::string FatWidthText(const std::string& widthName, std::string text) {
    if (widthName == "FAT32" || widthName.empty()) return text;
    for (size_t at = text.find("FAT32"); at != std::string::npos; at = text.find("FAT32", at + widthName.size()))
        text.replace(at, 5, widthName);
    return text;
}

} // namespace brivo
