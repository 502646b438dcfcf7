#include <gtest/gtest.h>

#include <string>

#include "tskparse/BlklsList.h"

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

// Block groups whose bitmap was never written hold free blocks the list leaves out.
TEST(BlklsFreeList, UninitialisedGroupsFromFsstat) {
    const std::string text =
        "Block Range: 0 - 262143\n"  // the whole file system, before any group
        "Group: 0:\n  Block Group Flags: []\n  Block Range: 1 - 8192\n"
        "Group: 3:\n  Block Group Flags: [INODE_UNINIT, BLOCK_UNINIT, ]\n  Block Range: 24577 - 32768\n"
        "Group: 4:\n  Block Group Flags: [INODE_UNINIT, ]\n  Block Range: 32769 - 40960\n"
        "Group: 5:\n  Block Group Flags: [BLOCK_UNINIT]\n  Block Range: 40961 - x\n"  // unreadable range
        "Group: 6:\n  Block Group Flags: [BLOCK_UNINIT]\n  Block Range: 9 - 3\n"      // backwards
        "Group: 7:\n  Block Group Flags: [BLOCK_UNINIT]\n  Block Range: 57345 - 65536";  // no final newline
    EXPECT_EQ(FsstatUninitBlockRanges(text),
              (std::vector<std::pair<uint64_t, uint64_t>>{{24577, 32768}, {57345, 65536}}));
    EXPECT_TRUE(FsstatUninitBlockRanges("Block Group Flags: [BLOCK_UNINIT]\nBlock Range: 1 - 2\n").empty());

    TBlklsFreeList list;
    list.Feed(Bytes("24570|f\n24571|f\n30000|f\n"));
    list.AddRun(24577, 8192);
    list.AddRun(5, 0);
    EXPECT_EQ(list.Areas(1, 1 << 20), (std::vector<TByteExtent>{{24570, 2}, {24577, 8192}}));
}

} // namespace
} // namespace brivo
