#include <gtest/gtest.h>

#include <cstring>
#include <vector>

#include "TestSupport.h"
#include "volumes/Crc32.h"
#include "volumes/PartitionTable.h"
#include "volumes/VolumeList.h"

namespace brivo {
namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i));
}

// An MBR slot: status 0, type, first sector and sector count.
void Slot(std::vector<uint8_t>& b, size_t sector, int i, uint8_t type, uint32_t start, uint32_t count) {
    const size_t at = sector * 512 + 446 + 16 * i;
    b[at + 4] = type;
    Put32(b, at + 8, start);
    Put32(b, at + 12, count);
    b[sector * 512 + 510] = 0x55;
    b[sector * 512 + 511] = 0xAA;
}

TPartitionTable Read(const std::vector<uint8_t>& disk) {
    auto src = MakeMemoryByteSource(disk, "disk");
    return ReadPartitionTable(*src);
}

TEST(PartitionTable, MbrPrimaryAndLogicalVolumes) {
    std::vector<uint8_t> d(4096 * 512, 0);
    Slot(d, 0, 0, 0x07, 64, 1000);
    Slot(d, 0, 1, 0x0F, 2000, 2000);     // extended
    Slot(d, 2000, 0, 0x0C, 10, 500);     // logical 5, relative to its own table
    Slot(d, 2000, 1, 0x05, 600, 800);    // next table, relative to the extended start
    Slot(d, 2600, 0, 0x83, 10, 700);     // logical 6
    const TPartitionTable t = Read(d);
    EXPECT_EQ(t.Scheme, TPartitionScheme::Mbr);
    EXPECT_TRUE(t.Problems.empty());
    ASSERT_EQ(t.Partitions.size(), 3u);
    EXPECT_EQ(t.Partitions[0].Number, 1u);
    EXPECT_EQ(t.Partitions[1].Number, 5u);
    EXPECT_EQ(t.Partitions[1].StartSector, 2010u);
    EXPECT_EQ(t.Partitions[1].Type, "0x0C");
    EXPECT_TRUE(t.Partitions[1].Logical);
    EXPECT_EQ(t.Partitions[2].Number, 6u);
    EXPECT_EQ(t.Partitions[2].StartSector, 2610u);
    EXPECT_EQ(t.Partitions[2].TypeName, "Linux");
}

TEST(PartitionTable, DamagedMbrChainsAndRanges) {
    struct Case {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> make;
        size_t partitions;
        const char* problem;  // in Problems, or in a partition's Problem
    };
    const std::vector<Case> cases = {
        {"a chain that loops back to an earlier table",
         [](auto& d) {
             Slot(d, 0, 0, 0x05, 100, 1000);
             Slot(d, 100, 0, 0x07, 10, 20);
             Slot(d, 100, 1, 0x05, 100, 200);
             Slot(d, 200, 0, 0x07, 10, 20);
             Slot(d, 200, 1, 0x05, 0x7FFFFFFF, 200);  // outside the extended partition
         },
         2, "points outside its extended partition"},
        {"a chain that points to itself",
         [](auto& d) {
             Slot(d, 0, 0, 0x05, 100, 1000);
             Slot(d, 100, 0, 0x07, 10, 20);
             Slot(d, 100, 1, 0x05, 300, 200);
             Slot(d, 400, 0, 0x07, 10, 20);
             Slot(d, 400, 1, 0x05, 300, 200);
         },
         2, "loops back on itself"},
        {"a volume past the end", [](auto& d) { Slot(d, 0, 0, 0x07, 2000, 5000); }, 1, "ends past the end of the source"},
        {"a volume starting past the end", [](auto& d) { Slot(d, 0, 0, 0x07, 0xFFFFFFF0, 0xFFFF); }, 1,
         "ends past the end of the source"},
        {"overlapping volumes",
         [](auto& d) {
             Slot(d, 0, 0, 0x07, 100, 500);
             Slot(d, 0, 1, 0x0C, 400, 500);
         },
         2, "overlaps volume 2"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> d(4096 * 512, 0);
        c.make(d);
        const TPartitionTable t = Read(d);
        EXPECT_EQ(t.Scheme, TPartitionScheme::Mbr);
        EXPECT_EQ(t.Partitions.size(), c.partitions);
        std::string all;
        for (const auto& p : t.Problems) all += p + "\n";
        for (const auto& p : t.Partitions) all += p.Problem + "\n";
        EXPECT_NE(all.find(c.problem), std::string::npos) << all;
    }
}

TEST(PartitionTable, WhatIsNoTable) {
    test::TempDir dir;
    // A file system's boot sector carries 0x55AA too, but is no partition table.
    const std::string ntfs = test::ReadFileBytes(test::UnpackFixture("ntfs.img", dir));
    const std::vector<uint8_t> vbr(ntfs.begin(), ntfs.begin() + 64 * 1024);
    EXPECT_EQ(Read(vbr).Scheme, TPartitionScheme::None);
    // Zeros, text, a signed sector with nothing in it, and bad status bytes.
    EXPECT_EQ(Read(std::vector<uint8_t>(8192, 0)).Scheme, TPartitionScheme::None);
    EXPECT_EQ(Read(std::vector<uint8_t>(8192, 'x')).Scheme, TPartitionScheme::None);
    std::vector<uint8_t> signedEmpty(8192, 0);
    signedEmpty[510] = 0x55;
    signedEmpty[511] = 0xAA;
    EXPECT_EQ(Read(signedEmpty).Scheme, TPartitionScheme::None);
    std::vector<uint8_t> badStatus(8192, 0);
    Slot(badStatus, 0, 0, 0x07, 1, 10);
    badStatus[446] = 0x12;
    EXPECT_EQ(Read(badStatus).Scheme, TPartitionScheme::None);
    EXPECT_EQ(Read(std::vector<uint8_t>(100, 0)).Scheme, TPartitionScheme::None);
}

class GptDisk : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        test::TempDir dir;
        const std::string s = test::ReadFileBytes(test::UnpackFixture("gpt-disk.img", dir));
        original_ = new std::vector<uint8_t>(s.begin(), s.end());
    }
    static void TearDownTestSuite() { delete original_; }
    void SetUp() override { disk_ = *original_; }
    size_t LastSector() const { return disk_.size() - 512; }
    // Re-signs the header at byte offset at after an edit.
    void Resign(size_t at) {
        const uint32_t size = disk_[at + 12] | (disk_[at + 13] << 8);
        Put32(disk_, at + 16, 0);
        Put32(disk_, at + 16, Crc32(std::span<const uint8_t>(disk_.data() + at, size)));
    }
    static inline std::vector<uint8_t>* original_ = nullptr;
    std::vector<uint8_t> disk_;
};

TEST_F(GptDisk, ReadsEntriesWithNamesAndTypes) {
    const TPartitionTable t = Read(disk_);
    EXPECT_EQ(t.Scheme, TPartitionScheme::Gpt);
    EXPECT_TRUE(t.Problems.empty());
    ASSERT_EQ(t.Partitions.size(), 3u);
    EXPECT_EQ(t.Partitions[1].Number, 2u);
    EXPECT_EQ(t.Partitions[1].Name, "Data");
    EXPECT_EQ(t.Partitions[1].Type, "EBD0A0A2-B9E5-4433-87C0-68B6B72699C7");
    EXPECT_EQ(t.Partitions[1].TypeName, "Microsoft basic data");
    EXPECT_EQ(t.Partitions[1].StartSector, 75776u);
    EXPECT_EQ(t.Partitions[1].SectorCount, 32768u);
}

TEST_F(GptDisk, DamagedPrimaryFallsBackToTheBackup) {
    struct Case { const char* what; std::function<void(std::vector<uint8_t>&)> damage; };
    const std::vector<Case> cases = {
        {"header checksum", [](auto& d) { d[512 + 16] ^= 0xFF; }},
        {"entry array checksum", [](auto& d) { d[1024 + 56] ^= 0xFF; }},
        {"header wiped", [](auto& d) { std::fill(d.begin() + 512, d.begin() + 1024, uint8_t{0}); }},
        {"protective MBR and header wiped", [](auto& d) { std::fill(d.begin(), d.begin() + 1024, uint8_t{0}); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        std::vector<uint8_t> d = disk_;
        c.damage(d);
        const TPartitionTable t = Read(d);
        if (std::string(c.what) == "protective MBR and header wiped") {
            // Nothing at the start says this is a GPT disk: the source is taken as a
            // whole, and no volumes are made up from stray bytes.
            EXPECT_EQ(t.Scheme, TPartitionScheme::None);
            continue;
        }
        EXPECT_EQ(t.Scheme, TPartitionScheme::Gpt);
        ASSERT_EQ(t.Partitions.size(), 3u);
        EXPECT_EQ(t.Partitions[2].Name, "Backup");
        ASSERT_EQ(t.Problems.size(), 1u);
        EXPECT_NE(t.Problems[0].find("the backup copy at the end of the disk was used"), std::string::npos) << t.Problems[0];
    }

    // Both copies damaged: a GPT with no volumes, and why.
    std::vector<uint8_t> d = disk_;
    d[512 + 16] ^= 0xFF;
    d[LastSector() + 16] ^= 0xFF;
    const TPartitionTable t = Read(d);
    EXPECT_EQ(t.Scheme, TPartitionScheme::Gpt);
    EXPECT_TRUE(t.Partitions.empty());
    ASSERT_EQ(t.Problems.size(), 1u);
    EXPECT_EQ(t.Problems[0], "The GPT is damaged: its primary header fails its checksum and its backup header fails its checksum.");
    // Its volumes are still where they were: the search finds them, and the listing
    // still says what is wrong with the table.
    const TSourceVolumes found = ListVolumesOf(MakeMemoryByteSource(d, "disk.img"));
    EXPECT_EQ(found.Problems, t.Problems);
    ASSERT_EQ(found.Volumes.size(), 3u);
    EXPECT_TRUE(found.Volumes[2].FoundBySearch);
    EXPECT_EQ(found.Volumes[2].StartSector, 108544u);
    // With nothing to find, scanning is refused with the reason, not taken as one
    // unpartitioned volume.
    std::fill(d.begin() + 34 * 512, d.end() - 33 * 512, uint8_t{0});
    try {
        ChooseVolume(ListVolumesOf(MakeMemoryByteSource(d, "disk.img")), 0);
        ADD_FAILURE() << "chose a volume of a table without any";
    } catch (const TVolumeChoiceError& e) {
        EXPECT_EQ(std::string(e.what()), "disk.img holds a partition table (GPT) with no volumes.\n" + t.Problems[0]);
    }
}

TEST_F(GptDisk, EntriesOutOfRangeOverlappingOrImplausible) {
    // Entry 3 made to end past the disk, entry 2 made to overlap entry 1: array and
    // header re-signed, so only the ranges are wrong.
    auto setEntry = [&](int slot, uint64_t first, uint64_t last) {
        const size_t at = 1024 + 128 * static_cast<size_t>(slot);
        for (int i = 0; i < 8; ++i) {
            disk_[at + 32 + i] = static_cast<uint8_t>(first >> (8 * i));
            disk_[at + 40 + i] = static_cast<uint8_t>(last >> (8 * i));
        }
    };
    setEntry(2, 108544, 1u << 30);
    setEntry(1, 70000, 100000);
    const uint32_t count = disk_[512 + 80] | (disk_[512 + 81] << 8);
    Put32(disk_, 512 + 88, Crc32(std::span<const uint8_t>(disk_.data() + 1024, count * 128)));
    Resign(512);
    TPartitionTable t = Read(disk_);
    ASSERT_EQ(t.Partitions.size(), 3u);
    EXPECT_FALSE(t.Partitions[2].Readable);
    EXPECT_NE(t.Partitions[2].Problem.find("ends past the end of the source"), std::string::npos);
    EXPECT_TRUE(t.Partitions[1].Readable);
    EXPECT_EQ(t.Partitions[1].Problem, "overlaps volume 1");

    // An entry array of 4 GiB is never read: the header is refused, the backup used.
    Put32(disk_, 512 + 80, 0xFFFFFFFF);
    Resign(512);
    t = Read(disk_);
    ASSERT_EQ(t.Problems.size(), 1u);
    EXPECT_NE(t.Problems[0].find("implausible entry array"), std::string::npos) << t.Problems[0];
    EXPECT_EQ(t.Partitions.size(), 3u);
}

} // namespace
} // namespace brivo
