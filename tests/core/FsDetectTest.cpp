#include <gtest/gtest.h>

#include <cstring>
#include <stdexcept>
#include <vector>

#include "TestSupport.h"
#include "core/FatBootSector.h"
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

Geometry Fat16() {
    Geometry g;
    g.rootEntries = 512;
    g.fatSize16 = 200;
    g.fatSize32 = 0;
    g.total32 = 50000;
    g.label54 = "FAT16   ";
    return g;
}

TEST(FatBootSector, AcceptsWhatFormattersWriteAndNamesTheWidth) {
    Geometry fat32;
    fat32.total32 = 1000000;
    fat32.label82 = "FAT32   ";
    Geometry small32 = fat32;  // mkfs.fat -F 32 on a small volume: FAT32 by its layout
    small32.total32 = kOverhead + 5000;
    small32.label82 = "NO NAME ";
    Geometry sectors4k = fat32;
    sectors4k.bytesPerSector = 4096;
    Geometry oneFat = fat32;
    oneFat.fats = 1;
    Geometry floppy = Fat16();  // 1.44 MB: 2847 clusters
    floppy.reserved = 1;
    floppy.rootEntries = 224;
    floppy.fatSize16 = 9;
    floppy.total16 = 2880;
    floppy.total32 = 0;
    floppy.media = 0xF0;
    Geometry last12 = Fat16();  // 4084 clusters: FAT12; one more: FAT16
    last12.sectorsPerCluster = 1;
    last12.total32 = 32 + 400 + 32 + 4084;
    Geometry first16 = last12;
    first16.total32 += 1;
    Geometry last16 = Fat16();
    last16.sectorsPerCluster = 1;
    last16.total32 = 32 + 400 + 32 + 65524;
    Geometry too16 = last16;
    too16.total32 += 1;
    Geometry labelSays32 = Fat16();  // labels play no part
    labelSays32.label54 = "FAT32   ";

    auto with = [](auto g, auto change) {
        change(g);
        return g;
    };
    struct Case {
        const char* what;
        Sector sector;
        int bits;  // 0: refused
        uint64_t clusters;
    } cases[] = {
        {"FAT32", FatSector(fat32), 32, 1000000 - kOverhead},
        {"small FAT32", FatSector(small32), 32, 5000},
        {"FAT32 with 4096-byte sectors", FatSector(sectors4k), 32, 1000000 - kOverhead},
        {"one FAT", FatSector(oneFat), 32, 1000000 - 1032},
        {"FAT12 floppy", FatSector(floppy), 12, 2847},
        {"4084 clusters", FatSector(last12), 12, 4084},
        {"4085 clusters", FatSector(first16), 16, 4085},
        {"65524 clusters", FatSector(last16), 16, 65524},
        {"FAT16 label at 54 saying FAT32", FatSector(labelSays32), 16, (50000 - 464) / 1},
        {"65525 clusters with a 16-bit FAT", FatSector(too16), 0, 0},
        {"no boot sector mark", FatSector(with(fat32, [](Geometry& g) { g.signature = false; })), 0, 0},
        {"bytes per sector 0 (exFAT's)", FatSector(with(fat32, [](Geometry& g) { g.bytesPerSector = 0; })), 0, 0},
        {"bytes per sector 8192", FatSector(with(fat32, [](Geometry& g) { g.bytesPerSector = 8192; })), 0, 0},
        {"bytes per sector 768", FatSector(with(fat32, [](Geometry& g) { g.bytesPerSector = 768; })), 0, 0},
        {"sectors per cluster 0", FatSector(with(fat32, [](Geometry& g) { g.sectorsPerCluster = 0; })), 0, 0},
        {"sectors per cluster 3", FatSector(with(fat32, [](Geometry& g) { g.sectorsPerCluster = 3; })), 0, 0},
        {"no reserved sectors", FatSector(with(fat32, [](Geometry& g) { g.reserved = 0; })), 0, 0},
        {"no FATs", FatSector(with(fat32, [](Geometry& g) { g.fats = 0; })), 0, 0},
        {"five FATs", FatSector(with(fat32, [](Geometry& g) { g.fats = 5; })), 0, 0},
        {"no media byte (boot code of a partition table)", FatSector(with(Fat16(), [](Geometry& g) { g.media = 0; })), 0, 0},
        {"FAT32 size 0", FatSector(with(fat32, [](Geometry& g) { g.fatSize32 = 0; })), 0, 0},
        {"FAT32 root cluster 1", FatSector(with(fat32, [](Geometry& g) { g.rootCluster = 1; })), 0, 0},
        {"FAT16 without a root region", FatSector(with(Fat16(), [](Geometry& g) { g.rootEntries = 0; })), 0, 0},
        {"metadata beyond the total", FatSector(with(fat32, [](Geometry& g) { g.total32 = 100; })), 0, 0},
        {"16-bit total counted first", FatSector(with(fat32, [](Geometry& g) { g.total16 = 2000; })), 0, 0},
        {"all zero", Sector(512, 0), 0, 0},
        {"511 bytes", with(FatSector(fat32), [](Sector& x) { x.resize(511); }), 0, 0},
    };
    for (const auto& c : cases) {
        TFatBootSector b;
        std::string why;
        const bool ok = DecodeFatBootSector(ByteSpan(c.sector.data(), c.sector.size()), b, &why);
        EXPECT_EQ(ok, c.bits != 0) << c.what << ": " << why;
        EXPECT_EQ(b.FatBits, c.bits) << c.what;
        if (ok) {
            EXPECT_EQ(b.Clusters, c.clusters) << c.what;
        } else {
            EXPECT_FALSE(why.empty()) << c.what;
        }
    }
}

TEST(FsDetect, BootSectorRules) {
    Geometry fat32;
    fat32.total32 = 1000000;
    Geometry floppy = Fat16();
    floppy.reserved = 1;
    floppy.rootEntries = 224;
    floppy.fatSize16 = 9;
    floppy.total16 = 2880;
    floppy.media = 0xF0;

    Sector exfat(512, 0);
    PutText(exfat, 3, "EXFAT   ");
    Put16(exfat, 510, 0xAA55);

    Sector exfat4k = exfat;
    exfat4k[108] = 12;  // 4 KiB sectors
    exfat4k[109] = 3;   // 32 KiB clusters
    exfat4k[110] = 1;   // one FAT
    Sector exfatHuge = exfat4k;
    exfatHuge[109] = 14;  // 64 MiB clusters: beyond what the format allows

    struct Case { const char* name; Sector sector; TFsKind want; };
    const std::vector<Case> cases = {
        {"NTFS OEM name with blanks", WithOem(Sector(512, 0), "NTFS    "), TFsKind::Ntfs},
        {"NTFS OEM name, lower case, no signature", WithOem(Sector(512, 0), "ntfs    "), TFsKind::Ntfs},
        {"NTFS OEM name with leading blanks", WithOem(Sector(512, 0), "  NTFS  "), TFsKind::Ntfs},
        {"NTFS OEM name trimmed of controls", WithOem(Sector(512, 0), "\x01NTFS\x81\x00\x00"), TFsKind::Ntfs},
        {"NTFS OEM name inside a FAT32 sector", WithOem(FatSector(fat32), "NTFS    "), TFsKind::Ntfs},
        {"not NTFS: NTFSX", WithOem(Sector(512, 0), "NTFSX   "), TFsKind::NotRecognised},
        {"not NTFS: inner blank", WithOem(Sector(512, 0), "NT FS   "), TFsKind::NotRecognised},
        {"exFAT (bytes per sector 0)", exfat, TFsKind::NotRecognised},
        {"exFAT", exfat4k, TFsKind::ExFat},
        {"exFAT with clusters too large", exfatHuge, TFsKind::NotRecognised},
        {"FAT32", FatSector(fat32), TFsKind::Fat32},
        {"FAT16", FatSector(Fat16()), TFsKind::Fat16},
        {"FAT12 floppy", FatSector(floppy), TFsKind::Fat12},
        {"not FAT", FatSector(Geometry{}), TFsKind::NotRecognised},
        {"all zero", Sector(512, 0), TFsKind::NotRecognised},
        {"short: 511 bytes of NTFS", WithOem(Sector(511, 0), "NTFS    "), TFsKind::NotRecognised},
        {"empty", Sector(), TFsKind::NotRecognised},
    };
    for (const auto& c : cases)
        EXPECT_EQ(DetectFileSystemFromHead(ByteSpan(c.sector.data(), c.sector.size())), c.want) << c.name;
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
