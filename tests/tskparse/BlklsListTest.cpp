#include <gtest/gtest.h>

#include <algorithm>
#include <string>

#include "tskparse/BlklsList.h"
#include "tskparse/ExtJournalTail.h"

namespace brivo {
namespace {

std::span<const uint8_t> Bytes(const std::string& s) { return {reinterpret_cast<const uint8_t*>(s.data()), s.size()}; }

// Hostile and odd lines are skipped; runs merge across chunk boundaries and in any order;
// the result is clipped to the volume.
TEST(BlklsFreeList, MergesRunsSkipsNoiseAndClipsToTheVolume) {
    const std::string text =
        "class|host|image|first_time|unit\nblkls|vm||1796948336|Fragment\naddr|alloc\n"
        "10|f\n11|f\r\n12|f\n"       // one run, a CRLF line among them
        "20|a\nx|f\n|f\n21\n-3|f\n"   // allocated, not a number, no address, no flag, negative
        "99999999999999999999|f\n"    // beyond 64 bits
        + std::string(1000, '7') + "|f\n"  // over-long line
        "5|f\n6|f\n"                  // before the first run
        "30|f\n31|f";                 // no final newline
    TBlklsFreeList list;
    for (size_t i = 0; i < text.size(); i += 7) list.Feed(Bytes(text.substr(i, 7)));
    list.Finish();
    EXPECT_EQ(list.Blocks(), 7u);
    EXPECT_EQ(list.Areas(1024, 1 << 20),
              (std::vector<TByteExtent>{{5 * 1024, 2 * 1024}, {10 * 1024, 3 * 1024}, {30 * 1024, 2 * 1024}}));
    // A volume that ends inside block 31, and one before block 30.
    EXPECT_EQ(list.Areas(1024, 31 * 1024 + 100).back(), (TByteExtent{30 * 1024, 1024 + 100}));
    EXPECT_EQ(list.Areas(1024, 30 * 1024).size(), 2u);
    EXPECT_TRUE(list.Areas(0, 1 << 20).empty());
}

TEST(BlklsFreeList, UnitSizeFromFsstat) {
    const struct {
        const char* text;
        uint64_t unit;
    } cases[] = {
        {"FILE SYSTEM INFORMATION\nBlock Size: 4096\nBlock Range: 0 - 100\n", 4096},
        {"Block Size: 4096\nFragment Size: 1024\n", 1024},
        {"Cluster Size: 2048\n", 2048},
        {"Block Size: 3000\n", 0},         // not a power of two
        {"Block Size: 0\n", 0},
        {"Block Size: 99999999999999999999999\n", 0},
        {"Block Size:\n", 0},
        {"nothing useful", 0},
        {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(FsstatUnitBytes(c.text), c.unit) << c.text;
}

// What an ext4 format reserved but never wrote: a BLOCK_UNINIT group and its block bitmap,
// an INODE_UNINIT group's inode table and inode bitmap (kept in group 0 by flex_bg).
TEST(BlklsFreeList, NeverWrittenRangesFromFsstat) {
    const std::string text =
        "Block Range: 0 - 262143\n"  // the whole file system, before any group
        "Group: 0:\n  Block Group Flags: []\n  Block Range: 1 - 8192\n  Layout:\n    Inode Table: 200 - 711\n"
        "    Uninit Inode Table: 1736 - 8391\n"  // fsstat's flex-group line names no group's own blocks
        "Group: 3:\n  Block Group Flags: [INODE_UNINIT, BLOCK_UNINIT, ]\n  Block Range: 24577 - 32768\n"
        "    Data bitmap: 195 - 195\n    Inode bitmap: 198 - 198\n    Inode Table: 712 - 1223\n"
        "Group: 4:\n  Block Group Flags: [INODE_UNINIT, ]\n  Block Range: 32769 - 40960\n"
        "    Data bitmap: 196 - 196\n    Inode bitmap: 199 - 199\n    Inode Table: 1224 - 1735\n"
        "Group: 5:\n  Block Group Flags: [BLOCK_UNINIT]\n  Block Range: 40961 - x\n"  // unreadable range
        "Group: 6:\n  Block Group Flags: [BLOCK_UNINIT]\n  Block Range: 9 - 3\n"      // backwards
        "Group: 7:\n  Block Group Flags: [BLOCK_UNINIT]\n  Block Range: 57345 - 65536";  // no final newline
    EXPECT_EQ(FsstatUninitBlockRanges(text), (std::vector<std::pair<uint64_t, uint64_t>>{{24577, 32768},
                                                                                         {195, 195},
                                                                                         {198, 198},
                                                                                         {712, 1223},
                                                                                         {199, 199},
                                                                                         {1224, 1735},
                                                                                         {57345, 65536}}));
    EXPECT_TRUE(FsstatUninitBlockRanges("Block Group Flags: [BLOCK_UNINIT]\nBlock Range: 1 - 2\n").empty());

    TBlklsFreeList list;
    list.Feed(Bytes("24570|f\n24571|f\n30000|f\n"));
    list.AddRun(24577, 8192);
    list.AddRun(5, 0);
    EXPECT_EQ(list.Areas(1, 1 << 20), (std::vector<TByteExtent>{{24570, 2}, {24577, 8192}}));
}

// The journal's blocks as istat lists them, and which of them the file system never wrote.
TEST(BlklsFreeList, JournalBlocksAndTheirUnwrittenTail) {
    EXPECT_EQ(FsstatJournalInode("Journal ID: 00\nJournal Inode: 8\n"), 8u);
    EXPECT_EQ(FsstatJournalInode("Journal Inode: x\n"), 0u);
    EXPECT_EQ(FsstatJournalInode("File System Type: FAT32\n"), 0u);
    const std::string istat = "size: 1048576\n\nDirect Blocks:\n740 741 742 \n1748 1749\n\nIndirect Blocks:\n99\n";
    EXPECT_EQ(IstatDirectBlocks(istat, 100), (std::vector<uint64_t>{740, 741, 742, 1748, 1749}));
    EXPECT_EQ(IstatDirectBlocks(istat, 2), (std::vector<uint64_t>{740, 741}));
    EXPECT_TRUE(IstatDirectBlocks("Direct Blocks: none", 100).empty());

    // A 16-block journal: superblock (first log block 1, next sequence 5), then blocks
    // whose first bytes say what they are.
    std::vector<std::string> blocks(16, std::string(12, '\0'));
    const auto be = [](uint32_t v) {
        return std::string{char(v >> 24), char(v >> 16), char(v >> 8), char(v)};
    };
    const auto head = [&](uint32_t type, uint32_t seq) { return be(0xC03B3998) + be(type) + be(seq); };
    const auto superblock = [&](uint32_t start) {
        return head(4, 0) + be(1024) + be(16) + be(1) + be(5) + be(start);
    };
    const auto run = [&] {
        return JournalUnwrittenBlocks(blocks.size(), [&](uint64_t i, uint8_t* buf, size_t n) {
            if (i >= blocks.size() || n > blocks[i].size()) return false;
            std::copy_n(blocks[i].data(), n, buf);
            return true;
        });
    };
    const auto from = [](uint64_t first) {
        std::vector<uint64_t> v;
        for (uint64_t i = first; i < 16; ++i) v.push_back(i);
        return v;
    };
    blocks[0] = superblock(0);
    EXPECT_EQ(run(), from(1));  // never written since the format
    blocks[1] = head(1, 3);
    blocks[3] = head(2, 3);
    blocks[4] = head(1, 4);
    blocks[6] = head(2, 4);
    blocks[9] = head(2, 77);  // an older volume's commit, past this one's sequence
    EXPECT_EQ(run(), from(7));
    blocks[12] = head(2, 2);  // this volume wrapped round: its older transactions lie at the end
    EXPECT_EQ(run(), from(13));
    blocks[0] = superblock(3);  // transactions to replay: nothing is unwritten
    EXPECT_TRUE(run().empty());
    blocks[0] = head(1, 0);  // not a superblock
    EXPECT_TRUE(run().empty());
    EXPECT_TRUE(JournalUnwrittenBlocks(1, [](uint64_t, uint8_t*, size_t) { return true; }).empty());
}

} // namespace
} // namespace brivo
