#include "core/FsDetect.h"

#include <array>

#include "platform/CodePages.h"
#include "platform/Devices.h"
#include "platform/RawSource.h"

namespace brivo {

namespace {

// Boot sector fields (byte offsets of the BIOS parameter block).
constexpr int64_t kOemName = 3;
constexpr int64_t kBytesPerSector = 11;
constexpr int64_t kSectorsPerCluster = 13;
constexpr int64_t kReservedSectors = 14;
constexpr int64_t kNumberOfFats = 16;
constexpr int64_t kRootEntryCount = 17;
constexpr int64_t kTotalSectors16 = 19;
constexpr int64_t kFatSize16 = 22;
constexpr int64_t kTotalSectors32 = 32;
constexpr int64_t kFatSize32 = 36;
constexpr int64_t kRootCluster = 44;
constexpr int64_t kFat16Label = 54;
constexpr int64_t kFat32Label = 82;
constexpr int64_t kSignature = 510;
constexpr uint16_t kBootSignature = 0xAA55;
// FAT32 starts where FAT16 cluster numbers run out: 65525 clusters or more; below 4085
// the volume is FAT12.
constexpr uint64_t kMinFat32Clusters = 65525;
constexpr uint64_t kMinFat16Clusters = 4085;
constexpr int64_t kMediaDescriptor = 21;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

// FAT12 or FAT16 by the cluster count of a parameter block with a root directory region.
// Boot code of a partition table reads as nonsense here, so every field must be one a
// formatter writes: sector size 512..4096, a power-of-two cluster, one or two FATs and a
// media byte.
TFsKind DetectFat12Or16(ByteSpan sector) {
    const uint64_t bps = ReadLe16(sector, kBytesPerSector);
    const uint64_t spc = ReadU8(sector, kSectorsPerCluster);
    const uint64_t reserved = ReadLe16(sector, kReservedSectors);
    const uint64_t fats = ReadU8(sector, kNumberOfFats);
    const uint64_t rootEntries = ReadLe16(sector, kRootEntryCount);
    const uint64_t fatSize = ReadLe16(sector, kFatSize16);
    const uint8_t media = ReadU8(sector, kMediaDescriptor);
    if (!IsPowerOfTwo(bps) || bps < 512 || bps > 4096 || !IsPowerOfTwo(spc) || reserved == 0 ||
        (fats != 1 && fats != 2) || rootEntries == 0 || fatSize == 0 || (media != 0xF0 && media < 0xF8))
        return TFsKind::NotRecognised;
    const uint64_t total16 = ReadLe16(sector, kTotalSectors16);
    const uint64_t total = total16 != 0 ? total16 : ReadLe32(sector, kTotalSectors32);
    const uint64_t overhead = reserved + fats * fatSize + (rootEntries * 32 + bps - 1) / bps;
    if (total <= overhead) return TFsKind::NotRecognised;
    const uint64_t clusters = (total - overhead) / spc;
    if (clusters < kMinFat16Clusters) return TFsKind::Fat12;
    if (clusters < kMinFat32Clusters) return TFsKind::Fat16;
    return TFsKind::NotRecognised;
}

bool IsBlankOrControl(char32_t c) { return c <= 0x20 || (c >= 0x7F && c <= 0x9F); }

// An 8-byte text field decoded in the ANSI code page, trimmed of blanks and control
// characters at both ends. Bytes past the end of the sector read as nothing.
std::u32string TextField(ByteSpan sector, int64_t offset, size_t width) {
    const auto& table = CodePageTable(AnsiCodePage());
    std::u32string s;
    for (size_t i = 0; i < width; ++i) {
        const uint64_t at = static_cast<uint64_t>(offset) + i;
        if (at >= sector.size()) break;
        s.push_back(table[sector[at]]);
    }
    size_t b = 0, e = s.size();
    while (b < e && IsBlankOrControl(s[b])) ++b;
    while (e > b && IsBlankOrControl(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Case-insensitive for ASCII letters only; word is upper-case ASCII.
bool EqualsAsciiNoCase(const std::u32string& text, const char* word) {
    size_t i = 0;
    for (; word[i] != '\0'; ++i) {
        if (i >= text.size()) return false;
        char32_t c = text[i];
        if (c >= 'a' && c <= 'z') c = c - 'a' + 'A';
        if (c != static_cast<char32_t>(static_cast<unsigned char>(word[i]))) return false;
    }
    return i == text.size();
}

} // namespace

TFsKind DetectFileSystemFromBootSector(ByteSpan sector) {
    if (sector.size() < kBootSectorSize) return TFsKind::NotRecognised;
    if (EqualsAsciiNoCase(TextField(sector, kOemName, 8), "NTFS")) return TFsKind::Ntfs;
    if (ReadLe16(sector, kSignature) != kBootSignature) return TFsKind::NotRecognised;

    const uint64_t bytesPerSector = ReadLe16(sector, kBytesPerSector);
    const uint64_t sectorsPerCluster = ReadU8(sector, kSectorsPerCluster);
    if (bytesPerSector == 0 || sectorsPerCluster == 0) return TFsKind::NotRecognised;

    const bool fat32Label = EqualsAsciiNoCase(TextField(sector, kFat32Label, 8), "FAT32");
    const uint64_t fatSize32 = ReadLe32(sector, kFatSize32);
    if (ReadLe16(sector, kRootEntryCount) == 0 && ReadLe16(sector, kFatSize16) == 0 && fatSize32 > 0 &&
        ReadLe32(sector, kRootCluster) >= 2) {
        const uint64_t total16 = ReadLe16(sector, kTotalSectors16);
        const uint64_t total = total16 != 0 ? total16 : ReadLe32(sector, kTotalSectors32);
        const uint64_t overhead = ReadLe16(sector, kReservedSectors) + ReadU8(sector, kNumberOfFats) * fatSize32;
        // Unsigned on purpose: overhead beyond the total wraps to a huge count and so counts
        // as FAT32; the FAT32 reader checks the geometry again before it trusts it.
        const uint64_t clusters = (total - overhead) / sectorsPerCluster;
        if (clusters >= kMinFat32Clusters || fat32Label) return TFsKind::Fat32;
    }
    if (fat32Label || EqualsAsciiNoCase(TextField(sector, kFat16Label, 8), "FAT32")) return TFsKind::Fat32;
    return DetectFat12Or16(sector);
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
