// Imaging a failing source: every readable byte lands in the image, the bad sectors are
// named in a map the rescue tools read, and a stopped copy goes on from its map.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>

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

} // namespace
} // namespace brivo
