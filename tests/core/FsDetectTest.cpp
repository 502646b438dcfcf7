#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "TestSupport.h"
#include "core/FsDetect.h"

namespace brivo {
namespace {

using Sector = std::vector<uint8_t>;

void Put16(Sector& s, size_t at, uint16_t v) { s[at] = v & 0xFF; s[at + 1] = v >> 8; }
void Put32(Sector& s, size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) s[at + i] = (v >> (8 * i)) & 0xFF; }
void PutText(Sector& s, size_t at, const char* text, size_t n = 8) { std::memcpy(&s[at], text, n); }

struct Geometry {
    uint16_t bytesPerSector = 512;
    uint8_t sectorsPerCluster = 1;
    uint16_t reserved = 32;
    uint8_t fats = 2;
    uint16_t rootEntries = 0;
    uint16_t total16 = 0;
    uint16_t fatSize16 = 0;
    uint32_t total32 = 0;
    uint32_t fatSize32 = 1000;
    uint32_t rootCluster = 2;
    uint8_t media = 0xF8;
    const char* label54 = "        ";
    const char* label82 = "        ";
    bool signature = true;
};

Sector FatSector(const Geometry& g) {
    Sector s(512, 0);
    PutText(s, 3, "MSWIN4.1");
    Put16(s, 11, g.bytesPerSector);
    s[13] = g.sectorsPerCluster;
    Put16(s, 14, g.reserved);
    s[16] = g.fats;
    Put16(s, 17, g.rootEntries);
    s[21] = g.media;
    Put16(s, 19, g.total16);
    Put16(s, 22, g.fatSize16);
    Put32(s, 32, g.total32);
    Put32(s, 36, g.fatSize32);
    Put32(s, 44, g.rootCluster);
    PutText(s, 54, g.label54);
    PutText(s, 82, g.label82);
    if (g.signature) Put16(s, 510, 0xAA55);
    return s;
}

Sector WithOem(Sector s, const char* oem) {
    PutText(s, 3, oem);
    return s;
}

// Overhead of the default geometry: 32 reserved + 2 FATs x 1000 sectors.
constexpr uint32_t kOverhead = 32 + 2 * 1000;

TEST(FsDetect, BootSectorRules) {
    Geometry fat32;
    fat32.total32 = 1000000;
    fat32.label82 = "FAT32   ";
    Geometry overwritten = fat32;
    overwritten.label82 = "NO NAME ";
    Geometry boundary = overwritten;
    boundary.total32 = kOverhead + 65525;
    Geometry below = overwritten;
    below.total32 = kOverhead + 65524;
    Geometry bigClusters = overwritten;  // 65525 clusters of 8 sectors
    bigClusters.sectorsPerCluster = 8;
    bigClusters.total32 = kOverhead + 65525u * 8 + 7;
    Geometry total16Wins = overwritten;  // the 16-bit total, when set, is the one counted
    total16Wins.total16 = 5000;
    total16Wins.total32 = 10000000;
    Geometry wraps = overwritten;  // overhead beyond the total wraps to a huge count
    wraps.total32 = 100;
    Geometry fat16;
    fat16.rootEntries = 512;
    fat16.fatSize16 = 200;
    fat16.fatSize32 = 0;
    fat16.total32 = 50000;
    fat16.label54 = "FAT16   ";
    Geometry fat16SaysFat32 = fat16;
    fat16SaysFat32.label54 = "FAT32   ";
    Geometry fat16TooManyClusters = fat16;
    fat16TooManyClusters.total32 = 1000000;
    Geometry fat16NoMedia = fat16;  // boot code of a partition table rather than a parameter block
    fat16NoMedia.media = 0x00;
    Geometry floppy = fat16;  // 1.44 MB: 2847 clusters
    floppy.reserved = 1;
    floppy.rootEntries = 224;
    floppy.fatSize16 = 9;
    floppy.total16 = 2880;
    floppy.media = 0xF0;
    Geometry noSignature = fat32;
    noSignature.signature = false;
    Geometry zeroBps = fat32;
    zeroBps.bytesPerSector = 0;
    Geometry zeroSpc = fat32;
    zeroSpc.sectorsPerCluster = 0;
    Geometry rootCluster1 = overwritten;
    rootCluster1.rootCluster = 1;
    Geometry rootCluster1Label = fat32;
    rootCluster1Label.rootCluster = 1;
    Geometry lowerLabel = below;
    lowerLabel.label82 = "fat32   ";
    Geometry paddedLabel = below;  // NUL, a control and 1252's undefined 0x81 around it
    paddedLabel.label82 = "\x01" "FAT32\x81\x00";
    Geometry innerBlank = below;
    innerBlank.label82 = "FAT 32  ";

    Sector exfat(512, 0);
    PutText(exfat, 3, "EXFAT   ");
    Put16(exfat, 510, 0xAA55);

    struct Case { const char* name; Sector sector; TFsKind want; };
    const std::vector<Case> cases = {
        {"NTFS OEM name with blanks", WithOem(Sector(512, 0), "NTFS    "), TFsKind::Ntfs},
        {"NTFS OEM name, lower case, no signature", WithOem(Sector(512, 0), "ntfs    "), TFsKind::Ntfs},
        {"NTFS OEM name with leading blanks", WithOem(Sector(512, 0), "  NTFS  "), TFsKind::Ntfs},
        {"NTFS OEM name inside a FAT32 sector", WithOem(FatSector(fat32), "NTFS    "), TFsKind::Ntfs},
        {"not NTFS: NTFSX", WithOem(Sector(512, 0), "NTFSX   "), TFsKind::NotRecognised},
        {"exFAT (bytes per sector 0)", exfat, TFsKind::NotRecognised},
        {"FAT32 with its label", FatSector(fat32), TFsKind::Fat32},
        {"FAT32 label overwritten, many clusters", FatSector(overwritten), TFsKind::Fat32},
        {"exactly 65525 clusters", FatSector(boundary), TFsKind::Fat32},
        {"65524 clusters", FatSector(below), TFsKind::NotRecognised},
        {"65525 clusters of 8 sectors", FatSector(bigClusters), TFsKind::Fat32},
        {"16-bit total counted first", FatSector(total16Wins), TFsKind::NotRecognised},
        {"overhead beyond the total wraps", FatSector(wraps), TFsKind::Fat32},
        {"FAT16", FatSector(fat16), TFsKind::Fat16},
        {"FAT12 floppy", FatSector(floppy), TFsKind::Fat12},
        {"FAT16 size field with FAT32's cluster count", FatSector(fat16TooManyClusters), TFsKind::NotRecognised},
        {"FAT16 without a media byte", FatSector(fat16NoMedia), TFsKind::NotRecognised},
        {"FAT16 whose label at 54 says FAT32", FatSector(fat16SaysFat32), TFsKind::Fat32},
        {"no boot signature", FatSector(noSignature), TFsKind::NotRecognised},
        {"bytes per sector 0", FatSector(zeroBps), TFsKind::NotRecognised},
        {"sectors per cluster 0", FatSector(zeroSpc), TFsKind::NotRecognised},
        {"root cluster 1, label overwritten", FatSector(rootCluster1), TFsKind::NotRecognised},
        {"root cluster 1, label FAT32", FatSector(rootCluster1Label), TFsKind::Fat32},
        {"label in lower case", FatSector(lowerLabel), TFsKind::Fat32},
        {"label trimmed of controls", FatSector(paddedLabel), TFsKind::Fat32},
        {"label with an inner blank", FatSector(innerBlank), TFsKind::NotRecognised},
        {"all zero", Sector(512, 0), TFsKind::NotRecognised},
        {"short: 511 bytes of NTFS", WithOem(Sector(511, 0), "NTFS    "), TFsKind::NotRecognised},
        {"empty", Sector(), TFsKind::NotRecognised},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DetectFileSystemFromBootSector(ByteSpan(c.sector.data(), c.sector.size())), c.want) << c.name;
}

TEST(FsDetect, OpensFilesLoudlyAndDevicesQuietly) {
    test::TempDir dir;
    Sector ntfs = WithOem(Sector(4096, 0), "NTFS    ");
    test::WriteFileBytes(dir / "ntfs.img", std::string(ntfs.begin(), ntfs.end()));
    test::WriteFileBytes(dir / "short.img", std::string(100, 'x'));
    test::WriteFileBytes(dir / "empty.img", "");
    EXPECT_EQ(DetectFileSystem(dir / "ntfs.img"), TFsKind::Ntfs);
    EXPECT_EQ(DetectFileSystem(dir / "short.img"), TFsKind::NotRecognised);
    EXPECT_EQ(DetectFileSystem(dir / "empty.img"), TFsKind::NotRecognised);
    EXPECT_EQ(DetectFileSystem(dir.path()), TFsKind::NotRecognised);  // a folder opens but cannot be read

    try {
        DetectFileSystem(dir / "missing.img");
        ADD_FAILURE() << "a missing image must raise";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "No such file or directory: " + (dir / "missing.img"));
    }
    EXPECT_EQ(DetectFileSystem("/dev/brivo-no-such-device"), TFsKind::NotRecognised);
    EXPECT_EQ(DetectFileSystem("/dev/null"), TFsKind::NotRecognised);
}

TEST(FsDetect, SwitchAndNameOfEachKind) {
    EXPECT_EQ(FsSwitchForKind(TFsKind::Ntfs), " -f ntfs");
    EXPECT_EQ(FsSwitchForKind(TFsKind::Fat32), " -f fat");
    EXPECT_EQ(FsSwitchForKind(TFsKind::NotRecognised), "");
    EXPECT_EQ(FsSwitchForKind(TFsKind::Fat16), " -f fat");
    EXPECT_EQ(FsSwitchForKind(TFsKind::ExFat), " -f exfat");
    EXPECT_EQ(FsKindName(TFsKind::Ntfs), "NTFS");
    EXPECT_EQ(FsKindName(TFsKind::Fat12), "FAT12");
    EXPECT_EQ(FsKindName(TFsKind::Fat32), "FAT32");
    EXPECT_EQ(FsKindName(TFsKind::NotRecognised), "not recognised");
}

} // namespace
} // namespace brivo
