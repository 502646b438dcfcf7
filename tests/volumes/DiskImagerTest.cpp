// Imaging a failing source: every readable byte lands in the image, the bad sectors are
// named in a map the rescue tools read, and a stopped copy goes on from its map.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>

#include "TestSupport.h"
#include "core/FailingByteSource.h"
#include "volumes/DiskImager.h"
#include "volumes/RescueMap.h"

namespace brivo {
namespace {

constexpr uint64_t kSize = 4 << 20;

// Sector-numbered bytes with a 1 MiB stretch of zeros (which the image leaves as a hole).
std::vector<uint8_t> SourceBytes() {
    std::vector<uint8_t> v(kSize);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>(1 + (i / 512 + i) % 200);
    std::fill(v.begin() + (3 << 20), v.end(), 0);
    return v;
}

const std::vector<TByteRange> kBad = {{(1 << 20) + 1000, 10}, {2 << 20, 300 << 10}};
// The same, whole sectors.
const std::vector<TByteRange> kBadSectors = {{(1 << 20) + 512, 512}, {2 << 20, 300 << 10}};

// Asks the copy to stop once it has made `after` reads (a user pressing Stop mid-copy).
class StopAfterReads final : public TByteSource {
public:
    StopAfterReads(TByteSourcePtr inner, std::atomic<bool>& stop, int after) : inner_(std::move(inner)), stop_(stop), left_(after) {}
    uint64_t Size() const override { return inner_->Size(); }
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override {
        if (--left_ <= 0) stop_ = true;
        return inner_->ReadAt(offset, buf, n);
    }
    const std::string& Name() const override { return inner_->Name(); }

private:
    TByteSourcePtr inner_;
    std::atomic<bool>& stop_;
    int left_;
};

std::string ToHex(uint64_t v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%llX", static_cast<unsigned long long>(v));
    return buf;
}

bool InBad(uint64_t at) {
    for (const TByteRange& b : kBadSectors)
        if (at >= b.Offset && at < b.End()) return true;
    return false;
}

void ExpectImage(const std::string& img, const std::vector<uint8_t>& src) {
    const std::string got = test::ReadFileBytes(img);
    ASSERT_EQ(got.size(), src.size());
    for (size_t i = 0; i < src.size(); ++i)
        ASSERT_EQ(static_cast<uint8_t>(got[i]), InBad(i) ? 0 : src[i]) << "byte " << i;
}

TEST(RescueMap, ParsesWhatTheToolsWriteAndRefusesDamage) {
    TRescueMap m(0x3000);
    m.Set(0x1000, 0x800, TRescueStatus::Bad);
    m.Set(0x0, 0x1000, TRescueStatus::Finished);
    m.Set(0x1800, 0x800, TRescueStatus::Finished);  // leaves 0x2000.. untried
    m.CurrentPos = 0x1800;
    const TRescueMap back = ParseRescueMap(FormatRescueMap(m, {"a comment"}), 0x3000);
    EXPECT_EQ(back.Blocks(), m.Blocks());
    EXPECT_EQ(back.Blocks(), (std::vector<TRescueBlock>{{0, 0x1000, TRescueStatus::Finished},
                                                        {0x1000, 0x800, TRescueStatus::Bad},
                                                        {0x1800, 0x800, TRescueStatus::Finished},
                                                        {0x2000, 0x1000, TRescueStatus::NonTried}}));
    EXPECT_EQ(back.CurrentPos, 0x1800u);

    // Decimal numbers, no pass field, a gap (untried), a block past the end (cut).
    const TRescueMap other = ParseRescueMap("# x\n\n0 ?\n0 1024 +\n2048 512 -\n0x2F00 0x1000 +\n", 0x3000);
    EXPECT_EQ(other.Blocks(), (std::vector<TRescueBlock>{{0, 1024, TRescueStatus::Finished},
                                                         {1024, 1024, TRescueStatus::NonTried},
                                                         {2048, 512, TRescueStatus::Bad},
                                                         {2560, 0x2F00 - 2560, TRescueStatus::NonTried},
                                                         {0x2F00, 0x100, TRescueStatus::Finished}}));
    for (const char* bad : {"", "0 1024 +\n", "0 ?\n0 10 x\n", "0 ?\n100 10 +\n50 10 +\n", "0 ?\n0 -5 +\n",
                            "0 ?\n0 0xFFFFFFFFFFFFFFFF +\n10 0xFFFFFFFFFFFFFFFF +\n", "0 ?\n0 10\n"}) {
        SCOPED_TRACE(bad);
        EXPECT_THROW(ParseRescueMap(bad, 0x3000), std::runtime_error);
    }
}

TEST(DiskImager, CopiesEveryReadableByteAndMapsTheBadSectors) {
    test::TempDir dir;
    const std::vector<uint8_t> bytes = SourceBytes();
    auto src = MakeFailingByteSource(MakeMemoryByteSource(bytes, "disk"), kBad);
    TImageOptions opt;
    opt.MapPath = dir / "out.map";
    std::vector<TImageProgress> seen;
    opt.OnProgress = [&](const TImageProgress& p) { seen.push_back(p); };
    const TImageResult r = ImageSource(*src, dir / "out.img", opt);
    EXPECT_FALSE(r.Stopped);
    EXPECT_FALSE(r.Resumed);
    ExpectImage(dir / "out.img", bytes);

    const TRescueMap map = ParseRescueMap(test::ReadFileBytes(dir / "out.map"), kSize);
    std::vector<TByteRange> bad;
    for (const TRescueBlock& b : map.Blocks(TRescueStatus::Bad)) bad.push_back({b.Pos, b.Size});
    EXPECT_EQ(bad, kBadSectors);
    EXPECT_EQ(map.Bytes(TRescueStatus::Finished) + map.Bytes(TRescueStatus::Bad), kSize);
    EXPECT_EQ(map.CurrentStatus, '+');
    ASSERT_FALSE(seen.empty());
    EXPECT_STREQ(seen.back().Phase, "finished");
    EXPECT_EQ(seen.back().Errors, 2u);
    EXPECT_EQ(seen.back().Rescued, kSize - (300 << 10) - 512);

    // Sparse: the zero megabyte takes no room.
    struct stat st {};
    ASSERT_EQ(::stat((dir / "out.img").c_str(), &st), 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_blocks) * 512, kSize - (512 << 10));

    // The rescue tools read the map and find the same bad sectors.
    const test::ProcessResult check = test::RunProcess({"ddrescuelog", "-b512", "-l-", dir / "out.map"});
    if (check.exitCode == 127 || check.err.find("No such file") != std::string::npos) {
        GTEST_SKIP() << "ddrescuelog not installed (Debian gddrescue): the map was not checked by it";
    }
    ASSERT_EQ(check.exitCode, 0) << check.err;
    std::string want;
    for (const TByteRange& b : kBadSectors)
        for (uint64_t s = b.Offset / 512; s < b.End() / 512; ++s) want += std::to_string(s) + "\n";
    EXPECT_EQ(check.out, want);
}

TEST(DiskImager, AStoppedCopyGoesOnFromItsMapAndRefusesToReplaceAnImage) {
    test::TempDir dir;
    const std::vector<uint8_t> bytes = SourceBytes();
    auto src = MakeFailingByteSource(MakeMemoryByteSource(bytes, "disk"), kBad);
    std::atomic<bool> stop{false};
    TImageOptions opt;
    opt.MapPath = dir / "out.map";
    opt.ChunkBytes = 64 << 10;
    opt.Stop = &stop;
    StopAfterReads stopping(src, stop, 20);
    const TImageResult first = ImageSource(stopping, dir / "out.img", opt);
    ASSERT_TRUE(first.Stopped);
    const TRescueMap partial = ParseRescueMap(test::ReadFileBytes(dir / "out.map"), kSize);
    EXPECT_GT(partial.Bytes(TRescueStatus::NonTried), 0u);
    const uint64_t copiedBefore = partial.Bytes(TRescueStatus::Finished);
    // What the stop left is said to be not read yet, not unreadable.
    EXPECT_EQ(first.Last.NotTried, partial.Bytes(TRescueStatus::NonTried));
    EXPECT_EQ(first.BadAreas, 0u);
    EXPECT_GE(copiedBefore, 1u << 20);

    // A new copy over it without its map would throw away what is there.
    TImageOptions otherMap;
    otherMap.MapPath = dir / "other.map";
    EXPECT_THROW(ImageSource(*src, dir / "out.img", otherMap), std::runtime_error);

    // The disk settles a little; the copy goes on and reads only what is left.
    src->Heal((2 << 20) + (100 << 10), 200 << 10);
    const uint64_t readsBefore = src->Reads();
    stop = false;
    const TImageResult second = ImageSource(*src, dir / "out.img", opt);
    EXPECT_TRUE(second.Resumed);
    EXPECT_FALSE(second.Stopped);
    const std::string got = test::ReadFileBytes(dir / "out.img");
    ASSERT_EQ(got.size(), bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i) {
        const bool bad = (i >= (1 << 20) + 512 && i < (1 << 20) + 1024) || (i >= (2 << 20) && i < (2 << 20) + (100 << 10));
        ASSERT_EQ(static_cast<uint8_t>(got[i]), bad ? 0 : bytes[i]) << "byte " << i;
    }
    const uint64_t chunksLeft = (kSize - copiedBefore) / (64 << 10);
    // Each chunk left once, and the six chunks holding bad sectors sector by sector: nothing
    // copied is read again.
    EXPECT_LE(src->Reads() - readsBefore, chunksLeft + 6 * (64 << 10) / 512);
    const TRescueMap done = ParseRescueMap(test::ReadFileBytes(dir / "out.map"), kSize);
    EXPECT_EQ(done.Bytes(TRescueStatus::Bad), (100u << 10) + 512);
}

TEST(RescueMap, KeepsItsTotalsAcrossManySmallRuns) {
    // Tens of thousands of runs, set in an order that splits, replaces and merges them:
    // the running totals must match a count from the runs themselves, and asking them at
    // every report must cost nothing.
    constexpr uint64_t kRuns = 100000;
    TRescueMap m(kRuns * 1024);
    const TRescueStatus kinds[] = {TRescueStatus::Finished, TRescueStatus::Bad, TRescueStatus::NonTrimmed,
                                   TRescueStatus::NonScraped, TRescueStatus::NonTried};
    uint64_t seed = 12345;
    auto next = [&] { return seed = seed * 6364136223846793005ull + 1442695040888963407ull, seed >> 33; };
    for (uint64_t i = 0; i < kRuns; ++i) m.Set(i * 1024, 512, kinds[i % 3]);
    auto check = [&] {
        uint64_t bytes[5] = {};
        size_t count[5] = {};
        for (const TRescueBlock& b : m.Blocks()) {
            for (size_t k = 0; k < 5; ++k)
                if (kinds[k] == b.Status) bytes[k] += b.Size, ++count[k];
        }
        for (size_t k = 0; k < 5; ++k) {
            ASSERT_EQ(m.Bytes(kinds[k]), bytes[k]) << static_cast<char>(kinds[k]);
            ASSERT_EQ(m.Count(kinds[k]), count[k]) << static_cast<char>(kinds[k]);
        }
    };
    check();
    for (int i = 0; i < 2000; ++i) {
        const uint64_t pos = next() % m.Size();
        m.Set(pos, 1 + next() % (i % 10 == 0 ? 1 << 20 : 4096), kinds[next() % 5]);
        if (i % 1000 == 0) check();
    }
    m.Set(m.Size() - 10, 100, TRescueStatus::Bad);  // past the end: cut
    m.Set(0, 1, TRescueStatus::NonTried);
    check();
    uint64_t sum = 0;
    const auto start = std::chrono::steady_clock::now();
    for (int i = 0; i < 100000; ++i) sum += m.Bytes(TRescueStatus::Finished) + m.Count(TRescueStatus::Bad);
    EXPECT_GT(sum, 0u);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
}

// An image file that was there before (left by another run or another tool) holds old
// bytes: the copy must write every byte, zeros included, and zeros where the map says bad.
TEST(DiskImager, AContinuedImageHoldsTheSourceNotTheOldBytes) {
    test::TempDir dir;
    const std::vector<uint8_t> bytes = SourceBytes();
    auto src = MakeFailingByteSource(MakeMemoryByteSource(bytes, "disk"), kBad);
    TImageOptions opt;
    opt.MapPath = dir / "out.map";
    test::WriteFileBytes(dir / "out.img", std::string(kSize, '\xAA'));
    // A map that only says the source's size (as the rescue tools start one), and one that
    // already gave up on a stretch.
    const uint64_t kGivenUp = 64 << 10;
    test::WriteFileBytes(dir / "out.map", "0x0 ?\n0x0 0x" + ToHex(kGivenUp) + " -\n0x" + ToHex(kGivenUp) + " 0x" +
                                              ToHex(kSize - kGivenUp) + " ?\n");
    const TImageResult r = ImageSource(*src, dir / "out.img", opt);
    EXPECT_TRUE(r.Resumed);
    EXPECT_FALSE(r.Stopped);
    const std::string got = test::ReadFileBytes(dir / "out.img");
    ASSERT_EQ(got.size(), bytes.size());
    for (size_t i = 0; i < bytes.size(); ++i)
        ASSERT_EQ(static_cast<uint8_t>(got[i]), InBad(i) || i < kGivenUp ? 0 : bytes[i]) << "byte " << i;

    // A map that says all is copied, beside an image that is empty or of another disk.
    TRescueMap all(kSize);
    all.Set(0, kSize, TRescueStatus::Finished);
    all.CurrentStatus = '+';
    for (const std::string& image : {std::string(), std::string(kSize / 2, '\0'), std::string(kSize, '\0')}) {
        SCOPED_TRACE(image.size());
        test::WriteFileBytes(dir / "done.img", image);
        test::WriteFileBytes(dir / "done.map", FormatRescueMap(all, {}));
        TImageOptions o;
        o.MapPath = dir / "done.map";
        EXPECT_THROW(ImageSource(*src, dir / "done.img", o), std::runtime_error);
        EXPECT_EQ(test::ReadFileBytes(dir / "done.img"), image);
    }
}

TEST(DiskImager, RefusesAMapLeftFromAnotherSource) {
    test::TempDir dir;
    const std::vector<uint8_t> bytes = SourceBytes();
    std::vector<uint8_t> sameSize = bytes;
    sameSize[100] ^= 1;
    std::vector<uint8_t> bigger = bytes;
    bigger.resize(kSize * 2, 7);
    struct Case {
        const char* name;
        std::vector<uint8_t> first;
        bool stopFirst;
    };
    const Case cases[] = {{"bigger disk, finished", bigger, false},
                          {"bigger disk, stopped", bigger, true},
                          {"same size, other bytes", sameSize, false},
                          {"same size, stopped", sameSize, true}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        test::TempDir d;
        std::atomic<bool> stop{false};
        TImageOptions opt;
        opt.MapPath = d / "out.map";
        opt.ChunkBytes = 256 << 10;
        opt.Stop = &stop;
        StopAfterReads first(MakeMemoryByteSource(c.first, "old disk"), stop, c.stopFirst ? 3 : 1 << 30);
        ImageSource(first, d / "out.img", opt);
        const std::string before = test::ReadFileBytes(d / "out.img");
        const std::string mapBefore = test::ReadFileBytes(d / "out.map");
        stop = false;
        auto src = MakeMemoryByteSource(bytes, "new disk");
        try {
            ImageSource(*src, d / "out.img", opt);
            ADD_FAILURE() << "a map of another source was continued";
        } catch (const std::runtime_error& e) {
            EXPECT_NE(std::string(e.what()).find("another source"), std::string::npos) << e.what();
        }
        EXPECT_EQ(test::ReadFileBytes(d / "out.img"), before);
        EXPECT_EQ(test::ReadFileBytes(d / "out.map"), mapBefore);
    }
}

} // namespace
} // namespace brivo
