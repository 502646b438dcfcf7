// The ext decoders on hand-made bytes: group descriptors, inodes, extent nodes, block
// maps and directory blocks.
#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <vector>

#include "core/Crc32c.h"
#include "ext/ExtDir.h"
#include "ext/ExtFileMap.h"
#include "ext/ExtGroupDesc.h"
#include "ext/ExtInode.h"

namespace brivo {
namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i)); }
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { b[at] = static_cast<uint8_t>(v); b[at + 1] = static_cast<uint8_t>(v >> 8); }

TExtSuperblock Sb(uint32_t blockSize = 1024, bool bit64 = false) {
    TExtSuperblock s;
    s.BlockSize = blockSize;
    s.FirstDataBlock = blockSize == 1024 ? 1 : 0;
    s.BlocksPerGroup = 8 * blockSize;
    s.BlocksCount = 100000;
    s.InodesPerGroup = 128;
    s.InodeSize = 256;
    s.InodesCount = 128 * s.GroupCount();
    s.FeatureRoCompat = ext_feature::kSparseSuper;
    if (bit64) {
        s.FeatureIncompat |= ext_feature::k64Bit;
        s.DescSize = 64;
    }
    return s;
}

// ---------------------------------------------------------------- group descriptors

TEST(ExtGroupDesc, Decode32And64AndChecksums) {
    std::vector<uint8_t> d(64, 0);
    Put32(d, 0x00, 300); Put32(d, 0x04, 301); Put32(d, 0x08, 302);
    Put16(d, 0x0C, 10); Put16(d, 0x0E, 20); Put16(d, 0x12, kExtBgInodeUninit | kExtBgBlockUninit); Put16(d, 0x1C, 128);
    Put32(d, 0x20, 1); Put32(d, 0x28, 2);

    TExtSuperblock s32 = Sb();
    auto g = DecodeExtGroupDesc(d, s32, 3);
    EXPECT_EQ(g.BlockBitmap, 300u);
    EXPECT_EQ(g.InodeTable, 302u);
    EXPECT_EQ(g.Flags, 0) << "flags mean nothing without descriptor checksums";

    TExtSuperblock s64 = Sb(4096, true);
    g = DecodeExtGroupDesc(d, s64, 3);
    EXPECT_EQ(g.BlockBitmap, (uint64_t{1} << 32) + 300);
    EXPECT_EQ(g.InodeTable, (uint64_t{2} << 32) + 302);

    // metadata_csum: crc32c(seed, group number, descriptor with the checksum zeroed), low 16 bits.
    TExtSuperblock sc = Sb(4096, true);
    sc.FeatureRoCompat |= ext_feature::kMetadataCsum;
    const uint8_t groupLe[4] = {3, 0, 0, 0};
    uint32_t c = Crc32c(ExtCsumSeed(sc), groupLe);
    c = Crc32c(c, d);
    Put16(d, 0x1E, static_cast<uint16_t>(c));
    g = DecodeExtGroupDesc(d, sc, 3);
    EXPECT_TRUE(g.ChecksumOk);
    EXPECT_TRUE(g.InodeUninit());
    EXPECT_TRUE(g.BlockUninit());
    EXPECT_FALSE(DecodeExtGroupDesc(d, sc, 4).ChecksumOk) << "the group number is part of the checksum";

    // GDT_CSUM: crc16 over uuid, group, descriptor without its checksum field.
    TExtSuperblock s16 = Sb();
    s16.FeatureRoCompat |= ext_feature::kGdtCsum;
    std::vector<uint8_t> d32(d.begin(), d.begin() + 32);
    uint16_t c16 = ExtCrc16(0xFFFF, s16.Uuid);
    c16 = ExtCrc16(c16, groupLe);
    c16 = ExtCrc16(c16, std::span<const uint8_t>(d32).subspan(0, 0x1E));
    Put16(d32, 0x1E, c16);
    EXPECT_TRUE(DecodeExtGroupDesc(d32, s16, 3).ChecksumOk);
    d32[0] ^= 1;
    EXPECT_FALSE(DecodeExtGroupDesc(d32, s16, 3).ChecksumOk);
}

TEST(ExtGroupDesc, Layout) {
    TExtSuperblock s = Sb(1024);   // 12 groups of 8192 blocks
    EXPECT_EQ(s.GroupCount(), 13u);
    const std::map<uint64_t, bool> super = {{0, true}, {1, true}, {2, false}, {3, true}, {4, false}, {5, true},
                                            {7, true}, {9, true}, {11, false}, {25, true}, {27, true}, {49, true}};
    for (const auto& [g, has] : super) EXPECT_EQ(ExtGroupHasSuper(s, g), has) << g;
    EXPECT_EQ(ExtDescBlockLocation(s, 0, 0), 2u) << "after the superblock at block 1";
    EXPECT_EQ(ExtDescBlockLocation(s, 0, 1), 8194u);
    EXPECT_EQ(ExtDescBlockLocation(s, 0, 2), 0u) << "group 2 keeps no copy";
    s.ReservedGdtBlocks = 5;
    EXPECT_EQ(ExtGroupBaseMetaBlocks(s, 0), 1u + 1 + 5);
    EXPECT_EQ(ExtGroupBaseMetaBlocks(s, 2), 0u);

    // meta_bg on 4 KiB blocks with 64-byte descriptors: 64 groups a meta group, each
    // descriptor block in its meta group's first group (after its superblock copy if any),
    // copies in the second and last.
    TExtSuperblock m = Sb(4096, true);
    m.BlocksCount = uint64_t{200} * 32768;
    m.InodesCount = uint64_t{128} * m.GroupCount();
    m.FeatureIncompat |= ext_feature::kMetaBg;
    m.FirstMetaBg = 1;
    EXPECT_EQ(ExtDescsPerBlock(m), 64u);
    EXPECT_EQ(ExtDescBlockLocation(m, 0, 0), 1u) << "below first_meta_bg: the plain table";
    EXPECT_EQ(ExtDescBlockLocation(m, 1, 0), 64u * 32768) << "group 64 keeps no superblock";
    EXPECT_EQ(ExtDescBlockLocation(m, 1, 1), 65u * 32768);
    EXPECT_EQ(ExtDescBlockLocation(m, 1, 2), 127u * 32768);
    EXPECT_EQ(ExtDescBlockLocation(m, 3, 0), 192u * 32768);
    EXPECT_EQ(ExtDescBlockLocation(m, 3, 2), 0u) << "group 255 is past the volume";
    EXPECT_EQ(ExtGroupBaseMetaBlocks(m, 64), 1u);
    EXPECT_EQ(ExtGroupBaseMetaBlocks(m, 66), 0u);
    EXPECT_EQ(ExtGroupBaseMetaBlocks(m, 125), 1u) << "5^3: a superblock copy, no descriptor copy";
    EXPECT_EQ(ExtGroupBaseMetaBlocks(m, 127), 1u) << "the last of its meta group: a descriptor copy";
}

// ---------------------------------------------------------------- inodes

TEST(ExtInode, FieldsTimesAndChecksum) {
    TExtSuperblock s = Sb(4096);
    s.FeatureRoCompat |= ext_feature::kMetadataCsum;
    std::vector<uint8_t> r(256, 0);
    Put16(r, 0x00, 0x81A4);             // regular, 0644
    Put16(r, 0x02, 1000); Put16(r, 0x78, 1);
    Put32(r, 0x04, 5); Put32(r, 0x6C, 1);   // size 2^32 + 5
    Put16(r, 0x1A, 1);
    Put32(r, 0x20, kExtExtentsFl);
    Put32(r, 0x64, 77);
    Put32(r, 0x10, 0x7FFFFFFF);          // mtime 2038-01-19 ...
    Put32(r, 0x88, (123456789u << 2) | 1);   // ... plus epoch 1 and nanoseconds
    Put32(r, 0x0C, static_cast<uint32_t>(-1));   // ctime one second before 1970
    Put32(r, 0x90, 1600000000);
    Put32(r, 0x94, 500u << 2);
    Put16(r, 0x80, 32);
    Put32(r, 0x14, 1700000000);
    const uint8_t num[4] = {12, 0, 0, 0}, gen[4] = {77, 0, 0, 0};
    uint32_t c = Crc32c(ExtCsumSeed(s), num);
    c = Crc32c(c, gen);
    c = Crc32c(c, r);
    Put16(r, 0x7C, static_cast<uint16_t>(c));
    Put16(r, 0x82, static_cast<uint16_t>(c >> 16));

    auto n = DecodeExtInode(r, s, 12);
    ASSERT_TRUE(n);
    EXPECT_TRUE(n->ChecksumOk);
    EXPECT_TRUE(n->IsRegular());
    EXPECT_TRUE(n->UsesExtents());
    EXPECT_EQ(n->Uid, 65536u + 1000);
    EXPECT_EQ(n->Size, (uint64_t{1} << 32) + 5);
    EXPECT_EQ(n->Mtime.Seconds, 0x7FFFFFFFll + (1ll << 32));
    EXPECT_EQ(n->Mtime.Nanos, 123456789u);
    EXPECT_EQ(n->Ctime.Seconds, -1);
    EXPECT_TRUE(n->Crtime.Present);
    EXPECT_EQ(n->Crtime.Seconds, 1600000000);
    EXPECT_EQ(n->Crtime.Nanos, 500u);
    EXPECT_EQ(n->Dtime, 1700000000u);
    EXPECT_FALSE(DecodeExtInode(r, s, 13)->ChecksumOk) << "the inode number is part of the checksum";

    // A 128-byte inode: no nanoseconds, no creation time.
    TExtSuperblock small = Sb();
    small.InodeSize = 128;
    n = DecodeExtInode(std::span<const uint8_t>(r).subspan(0, 128), small, 12);
    ASSERT_TRUE(n);
    EXPECT_EQ(n->Mtime.Seconds, 0x7FFFFFFF);
    EXPECT_EQ(n->Mtime.Nanos, 0u);
    EXPECT_FALSE(n->Crtime.Present);

    Put16(r, 0x80, 160);   // extra size past the inode
    EXPECT_FALSE(DecodeExtInode(r, s, 12));
    EXPECT_FALSE(DecodeExtInode(std::span<const uint8_t>(r).subspan(0, 100), s, 12));
}

TEST(ExtInode, InlineData) {
    TExtSuperblock s = Sb(4096);
    std::vector<uint8_t> r(256, 0);
    Put16(r, 0x00, 0x81A4);
    Put32(r, 0x20, kExtInlineDataFl);
    for (int i = 0; i < 60; ++i) r[0x28 + i] = static_cast<uint8_t>('a' + i % 26);
    Put16(r, 0x80, 32);
    // xattr area at 160: magic, one entry "system.data" with 10 bytes of value at offset 40.
    Put32(r, 160, 0xEA020000u);
    r[164] = 4; r[165] = 7; Put16(r, 166, 40); Put32(r, 168, 0); Put32(r, 172, 10);
    std::memcpy(r.data() + 180, "data", 4);
    std::memcpy(r.data() + 164 + 40, "0123456789", 10);
    Put32(r, 0x04, 65);
    auto n = DecodeExtInode(r, s, 12);
    ASSERT_TRUE(n);
    const auto bytes = ExtInlineData(r, *n);
    ASSERT_EQ(bytes.size(), 65u);
    EXPECT_EQ(std::string(bytes.begin() + 58, bytes.end()), "gh01234");
    Put32(r, 0x04, 20);
    n = DecodeExtInode(r, s, 12);
    EXPECT_EQ(ExtInlineData(r, *n).size(), 20u);
    // A value offset past the inode gives only the i_block part.
    Put32(r, 0x04, 65);
    Put16(r, 166, 200);
    n = DecodeExtInode(r, s, 12);
    EXPECT_EQ(ExtInlineData(r, *n).size(), 60u);
}

// ---------------------------------------------------------------- file maps

std::vector<uint8_t> ExtentNode(uint16_t depth, uint16_t max, const std::vector<std::array<uint64_t, 3>>& entries, size_t size) {
    std::vector<uint8_t> b(size, 0);
    Put16(b, 0, kExtExtentMagic);
    Put16(b, 2, static_cast<uint16_t>(entries.size()));
    Put16(b, 4, max);
    Put16(b, 6, depth);
    for (size_t i = 0; i < entries.size(); ++i) {
        const size_t at = 12 + 12 * i;
        Put32(b, at, static_cast<uint32_t>(entries[i][0]));
        if (depth == 0) {
            Put16(b, at + 4, static_cast<uint16_t>(entries[i][2]));
            Put16(b, at + 6, static_cast<uint16_t>(entries[i][1] >> 32));
            Put32(b, at + 8, static_cast<uint32_t>(entries[i][1]));
        } else {
            Put32(b, at + 4, static_cast<uint32_t>(entries[i][1]));
            Put16(b, at + 8, static_cast<uint16_t>(entries[i][1] >> 32));
        }
    }
    return b;
}

struct TBlocks {
    std::map<uint64_t, std::vector<uint8_t>> Blocks;
    int Reads = 0;
    TExtBlockReader Reader(uint32_t bs) {
        return [this, bs](uint64_t b, std::span<uint8_t> out) {
            ++Reads;
            auto it = Blocks.find(b);
            if (it == Blocks.end() || out.size() < bs) return false;
            std::copy_n(it->second.begin(), bs, out.begin());
            return true;
        };
    }
};

TEST(ExtFileMap, ExtentNodes) {
    const auto leaf = ExtentNode(0, 4, {{0, 1000, 8}, {8, 2000, 32768 + 4}, {20, (uint64_t{3} << 32) + 7, 1}}, 60);
    auto n = DecodeExtExtentNode(leaf);
    ASSERT_TRUE(n);
    ASSERT_EQ(n->Leaves.size(), 3u);
    EXPECT_EQ(n->Leaves[1], (TExtRun{8, 2000, 4, true}));
    EXPECT_EQ(n->Leaves[2].Physical, (uint64_t{3} << 32) + 7);

    const struct {
        const char* what;
        std::vector<uint8_t> bytes;
    } bad[] = {
        {"wrong magic", std::vector<uint8_t>(60, 0)},
        {"more entries than room", ExtentNode(0, 5, {{0, 1, 1}}, 60)},
        {"depth 6", ExtentNode(6, 4, {}, 60)},
        {"overlapping leaves", ExtentNode(0, 4, {{0, 100, 8}, {4, 200, 1}}, 60)},
        {"zero-length leaf", ExtentNode(0, 4, {{0, 100, 0}}, 60)},
        {"index out of order", ExtentNode(1, 4, {{10, 100, 0}, {10, 200, 0}}, 60)},
    };
    for (const auto& c : bad) EXPECT_FALSE(DecodeExtExtentNode(c.bytes)) << c.what;
}

TEST(ExtFileMap, ExtentTreeWithIndexAndLoops) {
    TBlocks disk;
    disk.Blocks[50] = ExtentNode(0, 84, {{0, 1000, 4}, {4, 1004, 4}}, 1024);   // joined into one run
    disk.Blocks[51] = ExtentNode(0, 84, {{100, 3000, 2}}, 1024);
    const auto root = ExtentNode(1, 4, {{0, 50, 0}, {100, 51, 0}}, 60);
    TExtMapLimits lim;
    lim.BlocksCount = 10000;
    auto m = ExtExtentMap(root, 1024, disk.Reader(1024), lim);
    EXPECT_TRUE(m.Complete) << m.Problem;
    ASSERT_EQ(m.Runs.size(), 2u);
    EXPECT_EQ(m.Runs[0], (TExtRun{0, 1000, 8, false}));
    EXPECT_EQ(m.Runs[1], (TExtRun{100, 3000, 2, false}));
    EXPECT_EQ(m.MetaBlocks, (std::vector<uint64_t>{50, 51}));

    lim.MaxLogicalBlocks = 6;   // the file's size ends the map
    m = ExtExtentMap(root, 1024, disk.Reader(1024), lim);
    ASSERT_EQ(m.Runs.size(), 1u);
    EXPECT_EQ(m.Runs[0].Count, 6u);
    lim.MaxLogicalBlocks = 0;

    // A node that points back at itself, a child at the wrong depth, a leaf beyond the volume.
    disk.Blocks[60] = ExtentNode(1, 84, {{0, 60, 0}}, 1024);
    m = ExtExtentMap(ExtentNode(2, 4, {{0, 60, 0}}, 60), 1024, disk.Reader(1024), lim);
    EXPECT_FALSE(m.Complete);
    EXPECT_LT(disk.Reads, 10);
    m = ExtExtentMap(ExtentNode(2, 4, {{0, 50, 0}}, 60), 1024, disk.Reader(1024), lim);
    EXPECT_FALSE(m.Complete);
    EXPECT_TRUE(m.Runs.empty());
    m = ExtExtentMap(ExtentNode(0, 4, {{0, 9999, 2}}, 60), 1024, disk.Reader(1024), lim);
    EXPECT_FALSE(m.Complete);
    m = ExtExtentMap(ExtentNode(1, 4, {{0, 77, 0}}, 60), 1024, disk.Reader(1024), lim);
    EXPECT_FALSE(m.Complete) << "an unreadable index block";
}

TEST(ExtFileMap, BlockMaps) {
    // 1 KiB blocks: 256 pointers an indirect block.
    TBlocks disk;
    std::vector<uint8_t> iblock(60, 0);
    for (uint32_t i = 0; i < 12; ++i) Put32(iblock, 4 * i, 100 + i);
    Put32(iblock, 4 * 3, 0);   // a hole
    Put32(iblock, 48, 500);    // single
    Put32(iblock, 52, 501);    // double
    Put32(iblock, 56, 503);    // triple
    std::vector<uint8_t> single(1024, 0);
    for (uint32_t i = 0; i < 256; ++i) Put32(single, 4 * i, 112 + i);   // continues the direct run
    disk.Blocks[500] = single;
    std::vector<uint8_t> dbl(1024, 0);
    Put32(dbl, 0, 502);
    disk.Blocks[501] = dbl;
    std::vector<uint8_t> leaf(1024, 0);
    Put32(leaf, 0, 2000);
    Put32(leaf, 4, 2001);
    disk.Blocks[502] = leaf;
    std::vector<uint8_t> triple(1024, 0);
    Put32(triple, 0, 504);
    disk.Blocks[503] = triple;
    std::vector<uint8_t> t2(1024, 0);
    Put32(t2, 0, 502);          // shares the leaf: allowed, it is only read
    disk.Blocks[504] = t2;

    TExtMapLimits lim;
    lim.BlocksCount = 10000;
    auto m = ExtBlockMap(iblock, 1024, disk.Reader(1024), lim);
    EXPECT_TRUE(m.Complete) << m.Problem;
    const uint64_t dblStart = 12 + 256, triStart = 12 + 256 + 256 * 256;
    const std::vector<TExtRun> want = {{0, 100, 3, false}, {4, 104, 8 + 256, false}, {dblStart, 2000, 2, false},
                                       {triStart, 2000, 2, false}};
    EXPECT_EQ(m.Runs, want);
    EXPECT_EQ(m.MetaBlocks, (std::vector<uint64_t>{500, 501, 502, 503, 504, 502}));

    lim.MaxLogicalBlocks = 14;   // the size stops the walk inside the single indirect block
    disk.Reads = 0;
    m = ExtBlockMap(iblock, 1024, disk.Reader(1024), lim);
    EXPECT_EQ(m.Runs.back(), (TExtRun{4, 104, 10, false}));
    EXPECT_EQ(disk.Reads, 1);

    // A triple indirect block that points at itself at every level ends at the size, and
    // a pointer past the volume marks the map incomplete.
    std::vector<uint8_t> self(1024, 0);
    for (uint32_t i = 0; i < 256; ++i) Put32(self, 4 * i, 600);
    disk.Blocks[600] = self;
    std::vector<uint8_t> loop(60, 0);
    Put32(loop, 56, 600);
    lim.MaxLogicalBlocks = triStart + 1000;
    disk.Reads = 0;
    m = ExtBlockMap(loop, 1024, disk.Reader(1024), lim);
    EXPECT_LT(disk.Reads, 20);
    Put32(loop, 0, 20000);
    m = ExtBlockMap(loop, 1024, disk.Reader(1024), lim);
    EXPECT_FALSE(m.Complete);
}

TEST(ExtFileMap, IndirectBlockLooks) {
    const struct {
        const char* what;
        std::vector<uint32_t> pointers;
        bool is;
    } cases[] = {
        {"ascending run", {100, 101, 102, 103}, true},
        {"ascending with a zero tail", {100, 101, 0, 0}, true},
        {"zero in the middle", {100, 0, 102}, false},
        {"descending", {100, 99}, false},
        {"past the volume", {100, 200000}, false},
        {"all zero", {}, false},
    };
    for (const auto& c : cases) {
        std::vector<uint8_t> b(1024, 0);
        for (size_t i = 0; i < c.pointers.size(); ++i) Put32(b, 4 * i, c.pointers[i]);
        EXPECT_EQ(LooksLikeExtIndirectBlock(b, 100000), c.is) << c.what;
    }
}

// ---------------------------------------------------------------- directory blocks

struct TDirBuilder {
    std::vector<uint8_t> B;
    size_t At = 0;
    explicit TDirBuilder(size_t size) : B(size, 0) {}
    // An entry whose record is recLen bytes long.
    TDirBuilder& Add(uint32_t inode, const std::string& name, uint8_t type, uint16_t recLen) {
        Put32(B, At, inode);
        Put16(B, At + 4, recLen);
        B[At + 6] = static_cast<uint8_t>(name.size());
        B[At + 7] = type;
        std::memcpy(B.data() + At + 8, name.data(), name.size());
        At += recLen;
        return *this;
    }
};

TEST(ExtDir, LiveAndDeletedEntries) {
    TDirBuilder d(1024);
    d.Add(12, ".", 2, 12).Add(2, "..", 2, 12);
    // "photo.jpg" (20 bytes) followed by two deleted entries inside its record.
    const size_t photo = d.At;
    d.Add(13, "photo.jpg", 1, 20).Add(14, "gone.png", 1, 16).Add(15, "also-gone.txt", 1, 24);
    Put16(d.B, photo + 4, 20 + 16 + 24);
    d.Add(16, "last", 2, static_cast<uint16_t>(1024 - d.At));
    TExtDirOptions o;
    o.InodesCount = 100;
    auto b = DecodeExtDirBlock(d.B, o);
    EXPECT_TRUE(b.Valid);
    std::vector<std::tuple<uint32_t, std::string, bool>> got;
    for (const auto& e : b.Entries) got.emplace_back(e.Inode, e.Name, e.Deleted);
    const std::vector<std::tuple<uint32_t, std::string, bool>> want = {
        {12, ".", false}, {2, "..", false}, {13, "photo.jpg", false}, {14, "gone.png", true},
        {15, "also-gone.txt", true}, {16, "last", false}};
    EXPECT_EQ(got, want);
    EXPECT_EQ(b.Entries[3].Type, 1);

    o.WithDeleted = false;
    EXPECT_EQ(DecodeExtDirBlock(d.B, o).Entries.size(), 4u);
    o.WithDeleted = true;

    // A removed first entry keeps its name with inode 0.
    TDirBuilder f(1024);
    f.Add(0, "first.doc", 1, 1024);
    b = DecodeExtDirBlock(f.B, o);
    ASSERT_EQ(b.Entries.size(), 1u);
    EXPECT_TRUE(b.Entries[0].Deleted);
    EXPECT_EQ(b.Entries[0].Name, "first.doc");

    // Garbage in a gap is no entry: a name with '/' or NUL, an inode past the volume.
    TDirBuilder g(1024);
    g.Add(12, "a", 1, 12 + 12 + 16 + 16);
    g.At = 12;
    g.Add(13, "x/y", 1, 12).Add(500, "big", 1, 16).Add(14, std::string("n\0m", 3), 1, 16);
    g.At = 56;
    g.Add(17, "end", 1, static_cast<uint16_t>(1024 - 56));
    b = DecodeExtDirBlock(g.B, o);
    EXPECT_TRUE(b.Valid);
    EXPECT_EQ(b.Entries.size(), 2u);

    // A record chain that leaves the block.
    TDirBuilder bad(1024);
    bad.Add(12, "a", 1, 12).Add(13, "b", 1, 2000);
    b = DecodeExtDirBlock(bad.B, o);
    EXPECT_FALSE(b.Valid);
    EXPECT_EQ(b.Entries.size(), 1u);
}

TEST(ExtDir, TailHtreeAndStarts) {
    TExtDirOptions o;
    o.InodesCount = 100;
    // A checksummed block: entries end 12 bytes early, then the tail.
    TDirBuilder t(1024);
    t.Add(12, ".", 2, 12).Add(2, "..", 2, 1024 - 12 - 12);
    Put32(t.B, 1012, 0); Put16(t.B, 1016, 12); t.B[1018] = 0; t.B[1019] = 0xDE;
    Put32(t.B, 1020, ExtDirBlockChecksum(t.B, 7, 12, 3));
    auto b = DecodeExtDirBlock(t.B, o);
    EXPECT_TRUE(b.Valid);
    EXPECT_TRUE(b.HasTail);
    EXPECT_EQ(b.TailChecksum, ExtDirBlockChecksum(t.B, 7, 12, 3));
    uint32_t self = 0, parent = 0;
    EXPECT_TRUE(LooksLikeExtDirStart(t.B, o, &self, &parent));
    EXPECT_EQ(self, 12u);
    EXPECT_EQ(parent, 2u);

    // An htree root: "." then ".." over the rest, then the root info (length 8, 1 level).
    TDirBuilder r(1024);
    r.Add(12, ".", 2, 12).Add(2, "..", 2, 1012);
    r.B[24 + 5] = 8;
    r.B[24 + 6] = 1;
    Put16(r.B, 32, 123); Put16(r.B, 34, 2);
    b = DecodeExtDirBlock(r.B, o);
    EXPECT_TRUE(b.IsHtreeRoot);
    EXPECT_EQ(b.HtreeLevels, 1);
    EXPECT_EQ(b.Entries.size(), 2u);

    // An htree node: an empty record over the block, then limit and count.
    std::vector<uint8_t> n(1024, 0);
    Put16(n, 4, 1024);
    Put16(n, 8, 127); Put16(n, 10, 5);
    b = DecodeExtDirBlock(n, o);
    EXPECT_TRUE(b.IsHtreeNode);
    EXPECT_TRUE(b.Entries.empty());
    EXPECT_FALSE(LooksLikeExtDirStart(n, o));

    // Starts that are not: ".." missing, "." not a folder, an inode past the volume.
    TDirBuilder x(1024);
    x.Add(12, ".", 2, 12).Add(2, "..x", 2, 1012);
    EXPECT_FALSE(LooksLikeExtDirStart(x.B, o));
    TDirBuilder y(1024);
    y.Add(12, ".", 1, 12).Add(2, "..", 2, 1012);
    EXPECT_FALSE(LooksLikeExtDirStart(y.B, o));
    TDirBuilder z(1024);
    z.Add(120, ".", 2, 12).Add(2, "..", 2, 1012);
    EXPECT_FALSE(LooksLikeExtDirStart(z.B, o));

    // 64 KiB blocks keep the record length's high bits in its low ones.
    EXPECT_EQ(ExtDirRecLen(65535, 65536), 65536u);
    EXPECT_EQ(ExtDirRecLen(0, 65536), 65536u);
    EXPECT_EQ(ExtDirRecLen(12, 65536), 12u);
    EXPECT_EQ(ExtDirRecLen(65532 | 1, 65536), 65532u + 65536u);
    EXPECT_EQ(ExtDirRecLen(4096, 4096), 4096u);
}

} // namespace
} // namespace brivo
