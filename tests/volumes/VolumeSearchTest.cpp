#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "TestSupport.h"
#include "volumes/VolumeList.h"
#include "volumes/VolumeSearch.h"

namespace brivo {
namespace {

ByteSpan Span(const std::string& s) { return ByteSpan(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

void PutLe(std::string& b, size_t at, uint64_t v, int n) {
    for (int i = 0; i < n; ++i) b[at + i] = static_cast<char>((v >> (8 * i)) & 0xFF);
}

std::string FixtureHead(const std::string& name, size_t bytes) {
    test::TempDir dir;
    return test::ReadFileBytes(test::UnpackFixture(name, dir)).substr(0, bytes);
}

// A 1024-byte ext superblock with the fields the check reads.
std::string ExtSuperblock(uint32_t logBlock, uint64_t blocks, uint32_t perGroup, uint16_t group) {
    std::string sb(1024, '\0');
    PutLe(sb, 0, 1024, 4);                       // inodes
    PutLe(sb, 4, blocks, 4);
    PutLe(sb, 20, logBlock == 0 ? 1 : 0, 4);     // first data block
    PutLe(sb, 24, logBlock, 4);
    PutLe(sb, 32, perGroup, 4);
    PutLe(sb, 40, 256, 4);                       // inodes per group
    PutLe(sb, 56, 0xEF53, 2);
    PutLe(sb, 76, 1, 4);                         // revision
    PutLe(sb, 90, group, 2);
    PutLe(sb, 104, 0x1122334455667788ull, 8);    // UUID
    return sb;
}

TEST(VolumeSearch, BootSectorAndSuperblockChecks) {
    const std::string ntfs = FixtureHead("ntfs.img", 512);
    const std::string fat32 = FixtureHead("fat32.img", 512);
    const std::string fat12 = FixtureHead("fat12.img", 512);
    const std::string exfat = FixtureHead("exfat.img", 512);
    using Edit = std::function<void(std::string&)>;
    struct Case {
        const char* what;
        std::string sector;
        Edit edit;
        bool accepted;
        TFsKind kind;
        uint64_t length, backup;
    };
    const Edit none = [](std::string&) {};
    const std::vector<Case> cases = {
        {"NTFS: backup in its last sector", ntfs, none, true, TFsKind::Ntfs, 16777216, 16777216 - 512},
        {"NTFS: odd sector size", ntfs, [](std::string& b) { PutLe(b, 11, 600, 2); }, false, {}, 0, 0},
        {"NTFS: $MFT past its end", ntfs, [](std::string& b) { PutLe(b, 48, uint64_t{1} << 40, 8); }, false, {}, 0, 0},
        {"NTFS: huge sector count", ntfs, [](std::string& b) { PutLe(b, 40, ~uint64_t{0}, 8); }, false, {}, 0, 0},
        {"NTFS: no end mark", ntfs, [](std::string& b) { b[510] = 0; }, false, {}, 0, 0},
        {"FAT32: backup at sector 6", fat32, none, true, TFsKind::Fat32, 41943040, 6 * 512},
        {"FAT32: backup field past the reserved area", fat32, [](std::string& b) { PutLe(b, 50, 0x7FFF, 2); }, true,
         TFsKind::Fat32, 41943040, 0},
        {"FAT32: not a media byte", fat32, [](std::string& b) { b[21] = 0x12; }, false, {}, 0, 0},
        {"FAT12: no backup", fat12, none, true, TFsKind::Fat12, 1474560, 0},
        {"FAT12: zero FATs", fat12, [](std::string& b) { b[16] = 0; }, false, {}, 0, 0},
        {"exFAT: backup region at sector 12", exfat, none, true, TFsKind::ExFat, 16777216, 12 * 512},
        {"exFAT: bytes that must be zero", exfat, [](std::string& b) { b[20] = 1; }, false, {}, 0, 0},
        {"exFAT: sector shift 13", exfat, [](std::string& b) { b[108] = 13; }, false, {}, 0, 0},
        {"exFAT: length past any disk", exfat, [](std::string& b) { PutLe(b, 72, uint64_t{1} << 60, 8); }, false, {}, 0, 0},
        {"zeros", std::string(512, '\0'), none, false, {}, 0, 0},
    };
    for (const Case& c : cases) {
        std::string s = c.sector;
        c.edit(s);
        const auto f = ReadVolumeFacts(Span(s));
        ASSERT_EQ(f.has_value(), c.accepted) << c.what;
        if (!f) continue;
        EXPECT_EQ(f->Kind, c.kind) << c.what;
        EXPECT_EQ(f->LengthBytes, c.length) << c.what;
        EXPECT_EQ(f->BackupOffset, c.backup) << c.what;
    }

    struct ExtCase {
        const char* what;
        std::string sb;
        bool accepted;
        uint64_t length, self, backup;
    };
    std::string badFirst = ExtSuperblock(2, 65536, 32768, 0);
    PutLe(badFirst, 20, 1, 4);
    const std::vector<ExtCase> ext = {
        {"1 KiB blocks, primary", ExtSuperblock(0, 16384, 8192, 0), true, 16384 * 1024, 1024, (8192 + 1) * 1024},
        {"4 KiB blocks, group 1's copy", ExtSuperblock(2, 65536, 32768, 1), true, 65536ull * 4096, 32768ull * 4096,
         32768ull * 4096},
        {"one group: no backup", ExtSuperblock(2, 1000, 32768, 0), true, 1000 * 4096, 1024, 0},
        {"a group that does not exist", ExtSuperblock(2, 65536, 32768, 2), false, 0, 0, 0},
        {"block size 128 KiB", ExtSuperblock(7, 65536, 32768, 0), false, 0, 0, 0},
        {"first data block 1 with 4 KiB blocks", badFirst, false, 0, 0, 0},
        {"more blocks per group than a bitmap holds", ExtSuperblock(0, 16384, 8193, 0), false, 0, 0, 0},
    };
    for (const ExtCase& c : ext) {
        const auto f = ReadExtSuperblockFacts(Span(c.sb));
        ASSERT_EQ(f.has_value(), c.accepted) << c.what;
        if (!f) continue;
        EXPECT_EQ(f->LengthBytes, c.length) << c.what;
        EXPECT_EQ(f->SelfOffset, c.self) << c.what;
        EXPECT_EQ(f->BackupOffset, c.backup) << c.what;
    }
}

struct Row {
    uint32_t index;
    uint64_t start, length;
    std::string fs, evidence;
    uint32_t alternativeTo = 0;
    bool operator==(const Row&) const = default;
};

std::ostream& operator<<(std::ostream& o, const Row& r) {
    return o << r.index << " " << r.start << "+" << r.length << " " << r.fs << " (" << r.evidence << ") alt "
             << r.alternativeTo;
}

// The volumes listed, without the stretches of unallocated space between them.
std::vector<Row> Rows(const TSourceVolumes& s) {
    std::vector<Row> rows;
    for (const auto& v : s.Volumes)
        if (!v.Unallocated) rows.push_back({v.Index, v.StartSector, v.SectorCount, v.Fs.Name, v.FoundBySearch ? v.Evidence : "table",
                        v.AlternativeTo});
    return rows;
}

std::string ReadVolume(const TSourceVolumes& s, const TVolume& v) {
    auto src = OpenVolumeSource(s, v);
    std::string out(src->Size(), '\0');
    EXPECT_TRUE(src->ReadExact(0, out.data(), out.size()));
    return out;
}

void Zero(std::string& disk, uint64_t firstSector, uint64_t sectors) {
    std::memset(disk.data() + firstSector * 512, 0, sectors * 512);
}

// A disk whose table is gone gives back its volumes where they were, with the same
// bytes (so every reader scans them as before).
TEST(VolumeSearch, DisksWithTheirTablesZeroed) {
    test::TempDir dir;
    struct Case {
        const char* fixture;
        std::function<void(std::string&)> wipe;
        std::vector<Row> expected;
    };
    const std::vector<Case> cases = {
        {"gpt-disk.img",
         [](std::string& d) {
             Zero(d, 0, 34);
             Zero(d, d.size() / 512 - 33, 33);
         },
         {{1, 2048, 73728, "FAT32", "boot sector and backup"},
          {2, 75776, 32768, "NTFS", "boot sector and backup"},
          {3, 108544, 16384, "exFAT", "boot sector and backup"}}},
        // The backup GPT at the end still names the volumes.
        {"gpt-disk.img", [](std::string& d) { Zero(d, 0, 34); },
         {{1, 2048, 73728, "FAT32", "GPT backup header"},
          {2, 75776, 32768, "NTFS", "GPT backup header"},
          {3, 108544, 16384, "exFAT", "GPT backup header"}}},
        {"mbr-ext-disk.img",
         [](std::string& d) {
             // The MBR, and the chain of logical volume tables in the extended partition.
             const uint64_t ext = 26624;
             uint32_t next = 0;
             std::memcpy(&next, d.data() + ext * 512 + 446 + 16 + 8, 4);
             Zero(d, 0, 1);
             Zero(d, ext, 1);
             Zero(d, ext + next, 1);
         },
         {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fixture);
        const std::string intactPath = test::UnpackFixture(c.fixture, dir);
        const TSourceVolumes intact = ListVolumes(intactPath);
        std::string disk = test::ReadFileBytes(intactPath);
        c.wipe(disk);
        const std::string lostPath = dir / "lost.img";
        test::WriteFileBytes(lostPath, disk);
        const TSourceVolumes lost = ListVolumes(lostPath);
        std::vector<Row> expected = c.expected;
        if (expected.empty()) {
            // The same volumes as the table gave, numbered in disk order.
            uint32_t n = 1;
            for (const auto& v : intact.Volumes)
                expected.push_back({n++, v.StartSector, v.SectorCount, v.Fs.Name, "boot sector and backup"});
        }
        ASSERT_EQ(Rows(lost), expected);
        for (size_t i = 0; i < lost.Volumes.size(); ++i) {
            const TVolume& v = lost.Volumes[i];
            if (v.Unallocated) continue;
            EXPECT_TRUE(v.Scannable() && v.Problem.empty()) << v.Problem;
            EXPECT_EQ(ReadVolume(lost, v), ReadVolume(intact, intact.Volumes[i])) << "volume " << v.Index;
            EXPECT_EQ(v.Fs.Kind, intact.Volumes[i].Fs.Kind);
        }
        EXPECT_EQ(EngineVolumeArgs(lost, lost.Volumes[1]),
                  (std::vector<std::string>{"-o", std::to_string(lost.Volumes[1].StartSector)}));
    }
}

// The GPT fixture as listed intact, and as listed with both its tables and the given
// sectors zeroed.
std::pair<TSourceVolumes, TSourceVolumes> LostGptDisk(const test::TempDir& dir, std::vector<uint64_t> sectors) {
    const std::string intactPath = test::UnpackFixture("gpt-disk.img", dir);
    std::string disk = test::ReadFileBytes(intactPath);
    Zero(disk, 0, 34);
    Zero(disk, disk.size() / 512 - 33, 33);
    for (const uint64_t s : sectors) Zero(disk, s, 1);
    test::WriteFileBytes(dir / "lost.img", disk);
    return {ListVolumes(intactPath), ListVolumes(dir / "lost.img")};
}

// With its first boot sector gone too, a volume is found by its backup, and readers are
// shown the backup in its place.
TEST(VolumeSearch, AVolumeFoundByItsBackupReadsWithTheBackupInPlace) {
    test::TempDir dir;
    const auto [intact, lost] = LostGptDisk(dir, {2048, 75776});  // FAT32's and NTFS's boot sectors
    const std::vector<Row> expected = {{1, 2048, 73728, "FAT32", "backup boot sector"},
                                       {2, 75776, 32768, "NTFS", "backup boot sector"},
                                       {3, 108544, 16384, "exFAT", "boot sector and backup"}};
    ASSERT_EQ(Rows(lost), expected);
    for (size_t i = 0; i < 2; ++i) {
        EXPECT_EQ(lost.Volumes[i].Fs.Kind, intact.Volumes[i].Fs.Kind);
        const std::string bytes = ReadVolume(lost, lost.Volumes[i]);
        std::string want = ReadVolume(intact, intact.Volumes[i]);
        // The backup differs from the lost first sector at most where the volume
        // wrote after formatting; the rest of the volume is untouched.
        EXPECT_EQ(bytes.substr(512), want.substr(512));
        EXPECT_EQ(bytes.substr(0, 90), want.substr(0, 90));
    }
}

// A volume that lost both boot sectors with the table is not found, but the space it
// fills is listed (after the volumes found, like the disk's unused end) and reads as its
// bytes; the FAT and NTFS backups at a volume's end are what the probe reads it by.
TEST(VolumeSearch, SpaceNoVolumeCoversIsListedForADeepScan) {
    test::TempDir dir;
    const auto [intact, lost] = LostGptDisk(dir, {75776, 75776 + 32767});  // both NTFS boot sectors
    std::vector<Row> all;
    for (const auto& v : lost.Volumes)
        all.push_back({v.Index, v.StartSector, v.SectorCount, v.Fs.Name, v.Unallocated ? "unallocated" : v.Evidence});
    const std::vector<Row> expected = {{1, 2048, 73728, "FAT32", "boot sector and backup"},
                                       {2, 108544, 16384, "exFAT", "boot sector and backup"},
                                       {3, 75776, 32768, "", "unallocated"},
                                       {4, 124928, 22528, "", "unallocated"}};
    ASSERT_EQ(all, expected);
    EXPECT_FALSE(lost.Volumes[2].Scannable());
    EXPECT_EQ(ChooseVolume(lost, 3).Index, 3u);
    const std::string bytes = ReadVolume(lost, lost.Volumes[2]);
    const std::string want = ReadVolume(intact, intact.Volumes[1]);
    EXPECT_EQ(bytes.substr(512, bytes.size() - 1024), want.substr(512, want.size() - 1024));
    EXPECT_NE(DescribeVolume(lost.Volumes[2], 512).find("unallocated space  (sectors 75776-108543)"), std::string::npos);

    // The NTFS volume with only its first sector lost: its own backup names it.
    std::string firstLost = want;
    std::memset(firstLost.data(), 0, 512);
    EXPECT_EQ(ProbeFileSystem(*MakeMemoryByteSource(std::vector<uint8_t>(firstLost.begin(), firstLost.end()), "v")).Kind,
              TFsKind::Ntfs);
    // A backup that is not at the end of what is probed belongs to some other volume.
    firstLost.append(1024 * 1024, '\0');
    EXPECT_TRUE(ProbeFileSystem(*MakeMemoryByteSource(std::vector<uint8_t>(firstLost.begin(), firstLost.end()), "v"))
                    .Name.empty());
}

// Volumes at starts no alignment explains are found by the every-sector search only;
// one nested in another is shown as the other's alternative.
TEST(VolumeSearch, EverySectorFindsUnalignedAndNestedVolumes) {
    const std::string fat12 = FixtureHead("fat12.img", 1474560);
    const std::string ntfs = FixtureHead("ntfs.img", 16777216);
    std::string disk(40 * 1024 * 1024, '\0');
    disk.replace(1001 * 512, fat12.size(), fat12);   // not on a boundary
    disk.replace(16384 * 512, ntfs.size(), ntfs);    // on a 1 MiB boundary
    // A stray FAT12 copy inside the NTFS volume, far from its $MFT and boot sectors.
    disk.replace((16384 + 20000) * 512, fat12.size(), fat12);
    auto src = MakeMemoryByteSource(Span(disk), "disk");

    const TSourceVolumes quick = ListVolumesOf(src);
    EXPECT_EQ(Rows(quick), (std::vector<Row>{{1, 16384, 32768, "NTFS", "boot sector and backup"}}));

    std::vector<std::pair<uint64_t, uint64_t>> progress;
    const TSourceVolumes full = ListVolumesOf(src, TContainerKind::Raw, TSearchDepth::EverySector,
                                              [&](uint64_t done, uint64_t total) {
                                                  progress.emplace_back(done, total);
                                                  return true;
                                              });
    EXPECT_EQ(Rows(full), (std::vector<Row>{{1, 1001, 2880, "FAT12", "boot sector"},
                                            {2, 16384, 32768, "NTFS", "boot sector and backup"},
                                            {3, 36384, 2880, "FAT12", "boot sector", 2}}));
    EXPECT_EQ(full.Volumes[2].Problem, "alternative to volume 2, which overlaps it");
    TSourceVolumes nestedOnly = full;
    nestedOnly.Volumes.erase(nestedOnly.Volumes.begin());
    EXPECT_EQ(ChooseVolume(nestedOnly, 0).Index, 2u) << "an alternative is no choice of its own";
    ASSERT_FALSE(progress.empty());
    EXPECT_EQ(progress.back().first, progress.back().second);

    // Stopped early: what was found so far, and said so.
    const TSourceVolumes stopped = ListVolumesOf(src, TContainerKind::Raw, TSearchDepth::EverySector,
                                                 [](uint64_t done, uint64_t) { return done < 4 * 1024 * 1024; });
    EXPECT_TRUE(stopped.SearchStopped);
    EXPECT_EQ(Rows(stopped), (std::vector<Row>{{1, 1001, 2880, "FAT12", "boot sector"}}));
}

// A volume in space the table does not cover is listed after the table's volumes.
TEST(VolumeSearch, AVolumeOutsideTheTableIsAddedAfterIt) {
    test::TempDir dir;
    std::string disk = test::ReadFileBytes(test::UnpackFixture("gpt-disk.img", dir));
    const std::string fat12 = FixtureHead("fat12.img", 1474560);
    disk.replace(126976 * 512, fat12.size(), fat12);  // after the last partition, on a 1 MiB boundary
    test::WriteFileBytes(dir / "more.img", disk);
    const TSourceVolumes s = ListVolumes(dir / "more.img");
    EXPECT_EQ(Rows(s), (std::vector<Row>{{1, 2048, 73728, "FAT32", "table"},
                                         {2, 75776, 32768, "NTFS", "table"},
                                         {3, 108544, 16384, "exFAT", "table"},
                                         {4, 126976, 2880, "FAT12", "boot sector"}}));
    EXPECT_EQ(DescribeVolume(s.Volumes[3], s.SectorSize),
              "4  FAT12  1.4 MiB  found by search (boot sector)  (sectors 126976-129855)");
}

} // namespace
} // namespace brivo
