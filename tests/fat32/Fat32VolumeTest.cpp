#include <gtest/gtest.h>

#include "FatScanHelpers.h"
#include "fat32/Fat32Scan.h"

namespace brivo {
namespace {

using namespace brivo::test;

// Memory bytes that remember every read request.
class RecordingSource : public TByteSource {
public:
    explicit RecordingSource(std::vector<uint8_t> b, std::vector<std::pair<uint64_t, size_t>>* log)
        : bytes_(std::move(b)), log_(log) {}
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override {
        log_->emplace_back(offset, n);
        if (offset >= bytes_.size()) return 0;
        const size_t got = std::min<size_t>(n, bytes_.size() - size_t(offset));
        std::memcpy(buf, bytes_.data() + offset, got);
        return int64_t(got);
    }
    uint64_t Size() const override { return bytes_.size(); }
    const std::string& Name() const override { return name_; }

private:
    std::string name_ = "recorded";
    std::vector<uint8_t> bytes_;
    std::vector<std::pair<uint64_t, size_t>>* log_;
};

struct Opened {
    TNullReport report;
    TFat32Log log{report};
    std::vector<std::pair<uint64_t, size_t>> reads;
    RecordingSource source;
    TFat32Volume vol;
    explicit Opened(std::vector<uint8_t> bytes) : source(std::move(bytes), &reads) {
        vol = OpenFat32Volume(source, log);
        reads.clear();
    }
};

TEST(Fat32Volume, RefusesUnusableSources) {
    struct Case { const char* what; int offset; int width; uint32_t value; };
    const Case bad[] = {
        {"bytes per sector 0", 11, 2, 0}, {"sectors per cluster 0", 13, 1, 0}, {"reserved sectors 0", 14, 2, 0},
        {"no FAT", 16, 1, 0}, {"FAT size 0", 36, 4, 0}, {"root cluster 1", 44, 4, 1},
        {"FAT16 size field without root entries", 22, 2, 8},
    };
    for (const auto& c : bad) {
        FatImage img;
        for (int i = 0; i < c.width; ++i) img.bytes[size_t(c.offset + i)] = uint8_t(c.value >> (8 * i));
        TNullReport report;
        try {
            FastScanFat32Direct(*MakeMemoryByteSource(img.bytes), report, {});
            ADD_FAILURE() << c.what << ": no error";
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), "Fast FAT32 scan failed: invalid FAT32 geometry.") << c.what;
        }
    }
    TNullReport report;
    try {
        FastScanFat32Direct(*MakeMemoryByteSource(std::vector<uint8_t>(300, 0)), report, {});
        ADD_FAILURE() << "short source: no error";
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Fast FAT32 scan failed: cannot read boot sector.");
    }
}

TEST(Fat32Volume, ReadsWholeSectorsAtSectorBoundaries) {
    FatImage img;
    for (size_t i = 512; i < 1536; ++i) img.bytes[i] = uint8_t(i * 7);
    Opened o(img.bytes);
    std::vector<uint8_t> data;
    ASSERT_TRUE(ReadVolumeBytes(o.vol, 1000, 4, data));
    EXPECT_EQ(o.reads, (std::vector<std::pair<uint64_t, size_t>>{{512, 512}}));
    EXPECT_EQ(data, (std::vector<uint8_t>{uint8_t(1000 * 7), uint8_t(1001 * 7), uint8_t(1002 * 7), uint8_t(1003 * 7)}));
    o.reads.clear();
    ASSERT_TRUE(ReadVolumeBytes(o.vol, 500, 40, data));
    EXPECT_EQ(o.reads, (std::vector<std::pair<uint64_t, size_t>>{{0, 1024}}));
    EXPECT_EQ(data.size(), 40u);
    ASSERT_TRUE(ReadVolumeBytes(o.vol, 10, 0, data));
    EXPECT_TRUE(data.empty());
    EXPECT_FALSE(ReadVolumeBytes(o.vol, -512, 4, data));

    // An image that ends inside its last sector: bytes before the end can be read, no further.
    std::vector<uint8_t> cut = img.bytes;
    cut.resize(cut.size() - 100);
    Opened end(cut);
    const int64_t size = int64_t(cut.size());
    EXPECT_TRUE(ReadVolumeBytes(end.vol, size - 20, 20, data));
    EXPECT_FALSE(ReadVolumeBytes(end.vol, size - 20, 21, data));
    EXPECT_TRUE(data.empty());
}

TEST(Fat32Volume, FollowsChainsWithinTheirBounds) {
    FatImage img;
    for (uint32_t c = 10; c < 20; ++c) std::memset(&img.bytes[size_t(img.ClusterOffset(c))], int(c), 512);
    img.Chain({10, 11, 12, 15});
    img.SetFat(16, 17);
    img.SetFat(17, 16);  // loop
    img.SetFat(18, 0x0FFFFFFF);
    Opened o(img.bytes);
    EXPECT_EQ(o.vol.ClusterLimit, 98u);

    TFatDirData d;
    ASSERT_TRUE(ReadClusterChain(o.vol, 10, 0, d));
    ASSERT_EQ(d.Data.size(), 4 * 512u);
    EXPECT_EQ(d.Data[3 * 512], 15);
    EXPECT_EQ(d.PieceOffsets, (std::vector<int64_t>{img.ClusterOffset(10), img.ClusterOffset(11), img.ClusterOffset(12),
                                                     img.ClusterOffset(15)}));
    EXPECT_EQ(d.EntryOffset(16 * 3 + 2), img.ClusterOffset(15) + 64);

    ASSERT_TRUE(ReadClusterChain(o.vol, 10, 1, d));  // size hint 1: one cluster, cut to one byte
    EXPECT_EQ(d.Data.size(), 1u);

    ASSERT_TRUE(ReadClusterChain(o.vol, 16, 0, d));  // a loop is read once round
    EXPECT_EQ(d.Data.size(), 2 * 512u);
    EXPECT_FALSE(d.Note.empty());

    o.reads.clear();
    EXPECT_FALSE(ReadClusterChain(o.vol, 13, 0, d));  // free start: nothing read but the FAT
    for (const auto& r : o.reads) EXPECT_LT(int64_t(r.first), img.DataOffset());
    EXPECT_FALSE(ReadClusterChain(o.vol, 1, 0, d));

    // A chain cut by the end of the source keeps the clusters read before it.
    std::vector<uint8_t> cut = img.bytes;
    cut.resize(size_t(img.ClusterOffset(12)));
    Opened c(cut);
    ASSERT_TRUE(ReadClusterChain(c.vol, 10, 0, d));
    EXPECT_EQ(d.Data.size(), 2 * 512u);

    // Cross-links: a cluster already read for another directory ends the chain.
    TFatClusterSet consumed{12};
    ASSERT_TRUE(ReadClusterChain(o.vol, 10, 0, d, &consumed));
    EXPECT_EQ(d.Data.size(), 2 * 512u);
    EXPECT_TRUE(consumed.count(10) && consumed.count(11));

    EXPECT_EQ(ReadFatEntry(o.vol, 10), 11u);
    EXPECT_EQ(ReadFatEntry(o.vol, 5000), 0u);  // past the FAT
    EXPECT_TRUE(IsClusterAllocated(o.vol, 18));
    EXPECT_FALSE(IsClusterAllocated(o.vol, 13));
    EXPECT_FALSE(IsClusterAllocated(o.vol, 0));
    EXPECT_FALSE(IsClusterAllocated(o.vol, 98));
    EXPECT_EQ(ClusterToOffset(o.vol, 3), img.DataOffset() + 512);
}

TEST(Fat32Volume, ConsecutiveClusterFallback) {
    FatImage img;
    Opened o(img.bytes);
    TFatDirData d;
    ASSERT_TRUE(ReadContiguousClusters(o.vol, 10, 0, d));
    EXPECT_EQ(d.Data.size(), 512u);
    ASSERT_TRUE(ReadContiguousClusters(o.vol, 10, 100 * 512, d));
    EXPECT_EQ(d.Data.size(), 32 * 512u);
    ASSERT_TRUE(ReadContiguousClusters(o.vol, 95, 10 * 512, d));  // stops at the end of the volume
    EXPECT_EQ(d.Data.size(), 3 * 512u);
    EXPECT_FALSE(ReadContiguousClusters(o.vol, 1, 0, d));
    EXPECT_FALSE(ReadContiguousClusters(o.vol, 500, 0, d));
}

TEST(Fat32Volume, DirectoryReadFallsBackOnlyForDeletedFolders) {
    FatImage img;
    FatScan scan;  // for its debug file
    {
        const TByteSourcePtr src = MakeMemoryByteSource(img.bytes);
        TFat32Log log(scan.report);
        TFat32Volume vol = OpenFat32Volume(*src, log);
        TFatDirData d;
        EXPECT_TRUE(ReadDirectoryClusters(vol, log, 10, 0, true, d));
        EXPECT_EQ(d.Data.size(), 512u);
        EXPECT_FALSE(ReadDirectoryClusters(vol, log, 11, 0, false, d));
    }
    const auto lines = scan.FileLines();
    std::vector<std::string> dbg;
    for (const auto& l : lines)
        if (l.rfind("FAT32 DBG ", 0) == 0) dbg.push_back(l);
    EXPECT_EQ(dbg, (std::vector<std::string>{
                       "FAT32 DBG dir read chain failed: start=10 size=0 deleted=True allocated=False",
                       "FAT32 DBG deleted dir fallback: start=10 size=0 bytes_read=512",
                       "FAT32 DBG dir read chain failed: start=11 size=0 deleted=False allocated=False",
                   }));
}

} // namespace
} // namespace brivo
