// The ext2/3/4 superblock: which volumes are believed, and what kind they are.
#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

#include "core/Crc32c.h"
#include "core/ExtSuperblock.h"

namespace brivo {
namespace {

void Put32(std::vector<uint8_t>& b, size_t at, uint32_t v) { for (int i = 0; i < 4; ++i) b[at + i] = static_cast<uint8_t>(v >> (8 * i)); }
void Put16(std::vector<uint8_t>& b, size_t at, uint16_t v) { b[at] = static_cast<uint8_t>(v); b[at + 1] = static_cast<uint8_t>(v >> 8); }

// A 64 MiB ext2 volume of 4 KiB blocks: 16384 blocks, one group... made two groups of 8192.
std::vector<uint8_t> Plain() {
    std::vector<uint8_t> b(1024, 0);
    Put32(b, 0x00, 2 * 2048);   // inodes
    Put32(b, 0x04, 16384);      // blocks
    Put32(b, 0x0C, 1000);
    Put32(b, 0x10, 100);
    Put32(b, 0x14, 0);          // first data block
    Put32(b, 0x18, 2);          // 4 KiB
    Put32(b, 0x1C, 2);
    Put32(b, 0x20, 8192);
    Put32(b, 0x24, 8192);
    Put32(b, 0x28, 2048);
    Put16(b, 0x38, 0xEF53);
    Put16(b, 0x3A, 1);
    Put32(b, 0x4C, 1);          // dynamic revision
    Put32(b, 0x54, 11);
    Put16(b, 0x58, 256);
    Put32(b, 0x64, 0x1);        // sparse_super
    std::memcpy(b.data() + 0x78, "CARD", 4);
    return b;
}

TEST(ExtSuperblock, AcceptsAndRefuses) {
    const struct {
        const char* what;
        std::function<void(std::vector<uint8_t>&)> change;
        bool ok;
    } cases[] = {
        {"plain ext2", [](auto&) {}, true},
        {"bad magic", [](auto& b) { Put16(b, 0x38, 0xEF54); }, false},
        {"128 KiB blocks", [](auto& b) { Put32(b, 0x18, 7); }, false},
        {"64 KiB blocks", [](auto& b) { Put32(b, 0x18, 6); Put32(b, 0x1C, 6); Put32(b, 0x04, 16384); }, true},
        {"inode size 200", [](auto& b) { Put16(b, 0x58, 200); }, false},
        {"inode size 64", [](auto& b) { Put16(b, 0x58, 64); }, false},
        {"inode size 1024", [](auto& b) { Put16(b, 0x58, 1024); }, true},
        {"inode size 2048", [](auto& b) { Put16(b, 0x58, 2048); }, false},
        {"no blocks per group", [](auto& b) { Put32(b, 0x20, 0); }, false},
        {"more blocks per group than a bitmap holds", [](auto& b) { Put32(b, 0x20, 8 * 4096 + 8); }, false},
        {"inode count not groups x per group", [](auto& b) { Put32(b, 0x00, 4095); }, false},
        {"first data block 1 on 4 KiB blocks", [](auto& b) { Put32(b, 0x14, 1); }, false},
        {"first data block 0 on 1 KiB blocks", [](auto& b) { Put32(b, 0x18, 0); Put32(b, 0x20, 8192); Put32(b, 0x04, 16384); }, false},
        {"1 KiB blocks", [](auto& b) { Put32(b, 0x18, 0); Put32(b, 0x14, 1); Put32(b, 0x04, 16385); }, true},
        {"64-bit with descriptor size 32", [](auto& b) { Put32(b, 0x60, 0x80); Put16(b, 0xFE, 32); }, false},
        {"64-bit with descriptor size 64", [](auto& b) { Put32(b, 0x60, 0x80); Put16(b, 0xFE, 64); }, true},
        {"64-bit with descriptor size 96", [](auto& b) { Put32(b, 0x60, 0x80); Put16(b, 0xFE, 96); }, false},
        {"zero blocks", [](auto& b) { Put32(b, 0x04, 0); }, false},
        {"journal inode past the inodes", [](auto& b) { Put32(b, 0xE0, 5000); }, false},
        {"more free inodes than inodes", [](auto& b) { Put32(b, 0x10, 5000); }, false},
        {"first meta group past the groups", [](auto& b) { Put32(b, 0x60, 0x10); Put32(b, 0x104, 3); }, false},
    };
    for (const auto& c : cases) {
        auto b = Plain();
        c.change(b);
        std::string why;
        EXPECT_EQ(DecodeExtSuperblock(b, &why).has_value(), c.ok) << c.what << ": " << why;
    }
    EXPECT_FALSE(DecodeExtSuperblock(std::vector<uint8_t>(1023, 0)).has_value());
}

TEST(ExtSuperblock, Fields) {
    auto b = Plain();
    Put32(b, 0x60, 0x80 | 0x2 | 0x40 | 0x200);   // 64bit, filetype, extents, flex_bg
    Put16(b, 0xFE, 64);
    Put32(b, 0x150, 1);                           // blocks count high: 2^32 + 16384 blocks
    Put32(b, 0x00, 0);
    Put32(b, 0x28, 8);
    // (2^32 + 16384) / 8192 groups = 524290 groups of 8 inodes
    Put32(b, 0x00, 524290 * 8);
    Put32(b, 0x10, 0);
    Put32(b, 0xE0, 8);
    b[0x174] = 4;
    const auto s = DecodeExtSuperblock(b);
    ASSERT_TRUE(s);
    EXPECT_EQ(s->BlocksCount, (uint64_t{1} << 32) + 16384);
    EXPECT_EQ(s->GroupCount(), 524290u);
    EXPECT_EQ(s->BlockSize, 4096u);
    EXPECT_EQ(s->DescSize, 64u);
    EXPECT_EQ(s->InodeSize, 256u);
    EXPECT_EQ(s->JournalInode, 8u);
    EXPECT_EQ(s->LogGroupsPerFlex, 4);
    EXPECT_EQ(s->VolumeName, "CARD");
    EXPECT_EQ(s->Kind, TExtKind::Ext4);
}

TEST(ExtSuperblock, KindAndChecksum) {
    const struct {
        uint32_t compat, incompat, roCompat;
        TExtKind kind;
    } cases[] = {
        {0, 0x2, 0x3, TExtKind::Ext2},
        {0x4 | 0x20, 0x2, 0x3, TExtKind::Ext3},
        {0x4, 0x2 | 0x4, 0x1, TExtKind::Ext3},        // needs recovery: still ext3
        {0x4, 0x2 | 0x40, 0x1, TExtKind::Ext4},        // extents
        {0x4, 0x2, 0x1 | 0x40, TExtKind::Ext4},        // extra_isize
        {0, 0x2 | 0x200, 0x1, TExtKind::Ext4},         // flex_bg without a journal
    };
    for (const auto& c : cases) {
        auto b = Plain();
        Put32(b, 0x5C, c.compat);
        Put32(b, 0x60, c.incompat);
        Put32(b, 0x64, c.roCompat);
        const auto s = DecodeExtSuperblock(b);
        ASSERT_TRUE(s);
        EXPECT_EQ(s->Kind, c.kind) << c.compat << " " << c.incompat << " " << c.roCompat;
    }
    // metadata_csum: the stored checksum is crc32c over the first 1020 bytes.
    auto b = Plain();
    Put32(b, 0x64, 0x1 | 0x400);
    Put32(b, 0x3FC, Crc32c(~0u, std::span<const uint8_t>(b).subspan(0, 0x3FC)));
    auto s = DecodeExtSuperblock(b);
    ASSERT_TRUE(s);
    EXPECT_TRUE(s->ChecksumOk);
    b[0x78] ^= 1;
    s = DecodeExtSuperblock(b);
    ASSERT_TRUE(s);
    EXPECT_FALSE(s->ChecksumOk);
}

TEST(ExtSuperblock, Crc16KnownValue) {
    // CRC-16/ARC of the standard check text.
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(ExtCrc16(0, text), 0xBB3Du);
}

TEST(Crc32c, TheProcessorsSumIsTheTablesAndTheStandardOne) {
    // The standard check value of CRC-32C is 0xE3069283 for "123456789", with the usual
    // inversions that ext4 leaves out.
    const uint8_t text[] = {'1', '2', '3', '4', '5', '6', '7', '8', '9'};
    EXPECT_EQ(~Crc32c(~0u, text), 0xE3069283u);
    EXPECT_EQ(~Crc32cPortable(~0u, text), 0xE3069283u);
    // Lengths around the 8-byte steps and the odd tail, from odd addresses, from any start.
    std::vector<uint8_t> bytes(4200);
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = static_cast<uint8_t>(i * 131 + 7);
    for (size_t len : {0, 1, 7, 8, 9, 15, 16, 17, 128, 244, 256, 4084, 4096}) {
        for (size_t off : {0, 1, 3}) {
            const ByteSpan part(bytes.data() + off, len);
            for (uint32_t seed : {0u, ~0u, 0x12345678u})
                EXPECT_EQ(Crc32c(seed, part), Crc32cPortable(seed, part)) << len << " " << off << " " << seed;
        }
    }
}

} // namespace
} // namespace brivo
