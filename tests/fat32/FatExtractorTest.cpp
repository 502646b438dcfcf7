#include <gtest/gtest.h>

#include <stdexcept>

#include "FatScanHelpers.h"
#include "core/ByteSource.h"
#include "core/Extractor.h"
#include "core/ReaderReport.h"
#include "fat32/Fat32Scan.h"
#include "fat32/FatExtractor.h"

namespace brivo {
namespace {

using namespace brivo::test;

// The engine's copy of an address, as recovery falls back to it.
std::string EngineCopy(const std::string& img, const std::string& address) {
    const ProcessResult r = RunProcess({"icat", "-R", "-f", "fat", img, address});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    return r.out;
}

// Stands in for the engine's extractor: copies through icat and counts its calls.
class EngineFallback : public TExtractor {
public:
    EngineFallback(std::string img, int* calls) : img_(std::move(img)), calls_(calls) {}
    void Extract(const TFoundFile& f, TByteSink& sink) override {
        ++*calls_;
        const std::string out = EngineCopy(img_, f.Inode);
        sink.Write(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(out.data()), out.size()));
    }

private:
    std::string img_;
    int* calls_;
};

std::string Extract(TExtractor& x, const TFoundFile& f) {
    test::StringSink sink;
    x.Extract(f, sink);
    return sink.bytes;
}

TFoundFile At(const std::string& address) {
    TFoundFile f;
    f.Inode = address;
    f.FullPath = "/x";
    return f;
}

// Every deleted result of every FAT volume at hand, copied directly, equals the engine's copy.
void ExpectEngineBytesForEveryResult(const std::string& img) {
    const TByteSourcePtr src = OpenRawByteSource(img);
    TNullReport report;
    const TReaderResult scan = FastScanFat32Direct(*src, report, {{"*"}, false, false});
    ASSERT_FALSE(scan.Found.empty());
    int fallbacks = 0;
    const auto x = MakeFatExtractor(src, std::make_unique<EngineFallback>(img, &fallbacks));
    for (const auto& f : scan.Found) {
        SCOPED_TRACE(f.FullPath + " @" + f.Inode);
        const std::string mine = Extract(*x, f);
        EXPECT_EQ(mine.size(), static_cast<size_t>(f.SizeBytes));
        EXPECT_TRUE(mine == EngineCopy(img, f.Inode));
    }
    EXPECT_EQ(fallbacks, 0) << "every result of these volumes can be copied directly";
}

TEST(FatExtractor, SameBytesAsTheEngineOnTheFixtures) {
    TempDir dir;
    for (const char* name : {"fat12", "fat16", "fat32", "fat32-fragdir"}) {
        SCOPED_TRACE(name);
        ExpectEngineBytesForEveryResult(UnpackFixture(std::string(name) + ".img", dir));
    }
}

TEST(FatExtractor, SameBytesAsTheEngineOnThirdPartyImages) {
    BRIVO_REQUIRE_TESTDATA(undel, "6-fat-undel.dd.gz");
    TempDir dir;
    const ProcessResult r = RunProcess({"gzip", "-dc", undel});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    WriteFileBytes(dir / "6-fat-undel.dd", r.out);
    ExpectEngineBytesForEveryResult(dir / "6-fat-undel.dd");
}

// The FAT16 fixture with its root entry at address 8 and its FAT rewritten case by case
// (the engine does not take tiny crafted FAT32 volumes): 2048-byte clusters from sector
// 100, clusters 2..8168.
struct Fat16Volume {
    std::vector<uint8_t> bytes;
    static constexpr uint32_t kClusterBytes = 2048, kLastCluster = 8168;
    static constexpr int64_t kFat = 4 * 512, kFatBytes = 32 * 512, kRoot = 68 * 512, kData = 100 * 512;

    explicit Fat16Volume(const std::string& path) {
        const std::string b = ReadFileBytes(path);
        bytes.assign(b.begin(), b.end());
    }
    int64_t ClusterOffset(uint32_t c) const { return kData + int64_t(c - 2) * kClusterBytes; }
    void SetFat(uint32_t c, uint16_t v) {
        for (int64_t f : {kFat, kFat + kFatBytes}) PutLe16(&bytes[size_t(f + 2 * c)], v);
    }
    void PutEntry(const std::string& address, const FatEntry& e) {
        std::memcpy(&bytes[size_t(kRoot + (std::stoll(address) - 3) * 32)], e.data(), 32);
    }
    // Every cluster of the range tells which it is.
    void Tag(uint32_t from, uint32_t to) {
        for (uint32_t k = from; k <= to; ++k) std::memset(&bytes[size_t(ClusterOffset(k))], int('A' + k % 26), kClusterBytes);
    }
};

// Which clusters a deleted file is read from. The engine's own copy of the same image is
// the reference wherever it copies something.
TEST(FatExtractor, ClusterChoiceMatchesTheEngine) {
    constexpr uint32_t kB = Fat16Volume::kClusterBytes;
    struct Case {
        const char* what;
        std::vector<uint32_t> inUse;  // clusters the FAT hands out (one-cluster chains)
        uint32_t first, size;
        bool live;
        uint32_t want;                // bytes written
        bool engineSame;              // the engine writes the same bytes
    };
    const Case cases[] = {
        {"all free: contiguous", {}, 100, 3 * kB - 7, false, 3 * kB - 7, true},
        {"clusters in use in the range are passed over", {101, 103}, 100, 3 * kB, false, 3 * kB, true},
        {"first cluster in use again: that cluster", {100}, 100, 3 * kB - 7, false, kB, true},
        {"first cluster in use again, small file", {100}, 100, 1000, false, 1000, true},
        // The engine writes nothing here; what the volume still holds is worth more.
        {"runs off the end of the volume: what is there", {}, Fat16Volume::kLastCluster - 2, 5 * kB, false, 3 * kB, false},
        {"live file along its chain", {}, 110, 2 * kB + 1, true, 2 * kB + 1, true},
        {"live file whose chain ends early", {}, 110, 5 * kB, true, 3 * kB, true},
        {"empty file", {}, 0, 0, false, 0, true},
    };
    TempDir dir;
    const std::string fixture = UnpackFixture("fat16.img", dir);
    const std::string address = "8";  // the deleted report.pdf
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Fat16Volume v(fixture);
        v.Tag(100, 130);
        v.Tag(Fat16Volume::kLastCluster - 4, Fat16Volume::kLastCluster);
        FatEntry e = FileEntry("REPORT  PDF", c.first, c.size);
        if (!c.live) e = Deleted(e);
        v.PutEntry(address, e);
        for (uint32_t u : c.inUse) v.SetFat(u, 0xFFFF);
        if (c.live) {
            v.SetFat(110, 120);
            v.SetFat(120, 115);
            v.SetFat(115, 0xFFFF);
        }
        const std::string path = dir / "crafted.img";
        WriteFileBytes(path, std::string(v.bytes.begin(), v.bytes.end()));
        int fallbacks = 0;
        const auto x = MakeFatExtractor(MakeMemoryByteSource(v.bytes), std::make_unique<EngineFallback>(path, &fallbacks));
        const std::string mine = Extract(*x, At(address));
        EXPECT_EQ(fallbacks, 0);
        EXPECT_EQ(mine.size(), c.want);
        if (c.engineSame) {
            EXPECT_TRUE(mine == EngineCopy(path, address));
        } else {
            EXPECT_EQ(mine, std::string(kB, char('A' + (c.first) % 26)) + std::string(kB, char('A' + (c.first + 1) % 26)) +
                                std::string(kB, char('A' + (c.first + 2) % 26)));
        }
    }
}

TEST(FatExtractor, APlanOverridesTheContiguousClusters) {
    FatImage img;
    for (uint32_t k = 3; k < img.clusters + 2; ++k) std::memset(&img.bytes[size_t(img.ClusterOffset(k))], int('A' + k % 26), 512);
    img.Put(2, 0, Deleted(FileEntry("FRAG    BIN", 20, 3 * 512 - 10)));
    img.Put(2, 1, Deleted(FileEntry("CUT     BIN", 50, 4 * 512)));
    auto plans = std::make_shared<TFatClusterPlans>();
    (*plans)[img.Address(2, 0)] = {{20, 22, 30}, true, true};
    (*plans)[img.Address(2, 1)] = {{50, 51}, false, false};  // stops short: what its clusters hold
    const auto x = MakeFatExtractor(MakeMemoryByteSource(img.bytes), nullptr, plans);
    const auto cluster = [&](uint32_t k) { return std::string(512, char('A' + k % 26)); };
    EXPECT_EQ(Extract(*x, At(img.Address(2, 0))), cluster(20) + cluster(22) + cluster(30).substr(0, 502));
    EXPECT_EQ(Extract(*x, At(img.Address(2, 1))), cluster(50) + cluster(51));
}

TEST(FatExtractor, WhatItCannotCopyWithoutFallbackIsAnErrorThatSaysWhy) {
    FatImage img;
    img.Put(2, 0, DirEntry("FOLDER     ", 10));
    img.Put(2, 1, Deleted(FileEntry("GONE    TXT", 20, 100)));
    img.Chain({20});  // reused: still copied, as the engine does
    img.Put(2, 2, Deleted(FileEntry("FAR     TXT", 0x00FFFFFF, 100)));
    const TByteSourcePtr src = MakeMemoryByteSource(img.bytes);
    const auto x = MakeFatExtractor(src, nullptr);
    EXPECT_EQ(Extract(*x, At(img.Address(2, 1))).size(), 100u);
    const struct {
        std::string address, why;
    } refused[] = {
        {"x12", "\"x12\" is not the address of a directory entry"},
        {"2", "\"2\" is not the address of a directory entry"},
        {img.Address(2, 0), "its directory entry does not describe a file"},
        {img.Address(2, 2), "its first cluster 16777215 lies outside the volume"},
    };
    for (const auto& r : refused) {
        SCOPED_TRACE(r.address);
        try {
            Extract(*x, At(r.address));
            ADD_FAILURE() << "copied";
        } catch (const std::runtime_error& e) {
            EXPECT_EQ(std::string(e.what()), "Cannot copy /x from " + src->Name() + " directly: " + r.why + ".");
        }
    }
    std::vector<uint8_t> notFat(4096, 0);
    EXPECT_THROW(Extract(*MakeFatExtractor(MakeMemoryByteSource(notFat), nullptr), At("3")), std::runtime_error);
}

// A source that fails past a given offset.
class FailingSource : public TByteSource {
public:
    FailingSource(std::vector<uint8_t> b, uint64_t failFrom) : b_(std::move(b)), failFrom_(failFrom) {}
    uint64_t Size() const override { return b_.size(); }
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override {
        if (offset + n > failFrom_) return -1;
        const size_t got = offset >= b_.size() ? 0 : std::min<size_t>(n, b_.size() - offset);
        std::memcpy(buf, b_.data() + offset, got);
        return int64_t(got);
    }
    const std::string& Name() const override { return name_; }
    std::string LastError() const override { return "Input/output error"; }

private:
    std::vector<uint8_t> b_;
    uint64_t failFrom_;
    std::string name_ = "disk.img";
};

TEST(FatExtractor, AReadErrorInTheMiddleStopsTheCopyWithTheSystemsMessage) {
    FatImage img;
    img.Put(2, 0, Deleted(FileEntry("BIG     BIN", 20, 8 * 512)));
    const auto x = MakeFatExtractor(std::make_shared<FailingSource>(img.bytes, uint64_t(img.ClusterOffset(24))), nullptr);
    try {
        Extract(*x, At(img.Address(2, 0)));
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot read disk.img at byte " + std::to_string(img.ClusterOffset(20)) + ": Input/output error");
    }
}

} // namespace
} // namespace brivo
