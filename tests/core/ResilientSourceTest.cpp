#include <gtest/gtest.h>

#include <numeric>

#include "core/FailingByteSource.h"
#include "core/ResilientSource.h"

using namespace brivo;

namespace {

std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = static_cast<uint8_t>(1 + (i * 7 + i / 512) % 251);
    return v;
}

struct Rig {
    std::vector<uint8_t> bytes;
    std::shared_ptr<TFailingByteSource> disk;
    std::shared_ptr<TUnreadableMap> map = std::make_shared<TUnreadableMap>();
    std::shared_ptr<TResilientSource> src;
    Rig(size_t size, std::vector<TByteRange> bad, TResilientOptions opt = {}) : bytes(Pattern(size)) {
        disk = MakeFailingByteSource(MakeMemoryByteSource(bytes), std::move(bad));
        src = MakeResilientSource(disk, map, opt);
    }
    // Every byte outside `zeros` equals the source's; every byte inside is 0.
    void ExpectRead(uint64_t off, const std::vector<uint8_t>& got, const std::vector<TByteRange>& zeros) const {
        for (size_t i = 0; i < got.size(); ++i) {
            const uint64_t at = off + i;
            bool bad = false;
            for (const TByteRange& z : zeros) bad = bad || (at >= z.Offset && at < z.End());
            ASSERT_EQ(got[i], bad ? 0 : bytes[at]) << "byte " << at;
        }
    }
};

} // namespace

TEST(UnreadableMap, MergesAndRemoves) {
    TUnreadableMap m;
    m.Add(1000, 100);
    m.Add(0, 10);
    m.Add(1100, 50);   // touches: merged
    m.Add(990, 20);    // overlaps the start
    m.Add(5000, 0);    // nothing
    EXPECT_EQ(m.Areas(), (std::vector<TByteRange>{{0, 10}, {990, 160}}));
    EXPECT_EQ(m.TotalBytes(), 170u);
    EXPECT_TRUE(m.Touches(1149, 5));
    EXPECT_FALSE(m.Touches(1150, 5));
    EXPECT_FALSE(m.Touches(10, 980));
    m.Remove(1000, 10);
    EXPECT_EQ(m.Areas(), (std::vector<TByteRange>{{0, 10}, {990, 10}, {1010, 140}}));
    EXPECT_EQ(m.Within(5, 1010), (std::vector<TByteRange>{{5, 5}, {990, 10}, {1010, 5}}));
    m.Add(UINT64_MAX - 5, 100);  // clipped at the top, no wrap
    EXPECT_EQ(m.Areas().back(), (TByteRange{UINT64_MAX - 5, 5}));
}

TEST(ResilientSource, ReturnsEveryReadableSectorAndMapsTheRest) {
    struct Case {
        const char* name;
        std::vector<TByteRange> bad;
        uint64_t off, len;
        std::vector<TByteRange> unreadable;  // sector-rounded
    };
    const std::vector<Case> cases = {
        {"one byte in one sector", {{5000, 1}}, 0, 1 << 20, {{4608, 512}}},
        {"two areas, unaligned read", {{70000, 1000}, {300000, 512}}, 1234, 400000, {{69632, 1536}, {299520, 1024}}},
        {"read starts inside a bad sector", {{2048, 512}}, 2100, 1000, {{2100, 460}}},
        {"clean read", {{900000, 512}}, 0, 4096, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Rig r(1 << 20, c.bad);
        std::vector<uint8_t> buf(c.len, 0xEE);
        ASSERT_EQ(r.src->ReadAt(c.off, buf.data(), buf.size()), static_cast<int64_t>(c.len));
        r.ExpectRead(c.off, buf, c.unreadable);
        // The map holds the whole bad sectors (the one a read starts in included).
        for (const TByteRange& u : c.unreadable) EXPECT_TRUE(r.map->Touches(u.Offset, u.Length));
        EXPECT_EQ(r.map->Count(), c.unreadable.size());
    }
}

TEST(ResilientSource, ShortOnlyAtTheEndAndBadLastSector) {
    Rig r(10000, {{9800, 10}});
    std::vector<uint8_t> buf(4096);
    ASSERT_EQ(r.src->ReadAt(8000, buf.data(), buf.size()), 2000);
    r.ExpectRead(8000, std::vector<uint8_t>(buf.begin(), buf.begin() + 2000), {{9728, 272}});
    EXPECT_EQ(r.src->ReadAt(10000, buf.data(), 10), 0);
}

TEST(ResilientSource, KnownBadAreasAreNotTriedAgain) {
    Rig r(1 << 20, {{65536, 4096}});
    std::vector<uint8_t> buf(1 << 20);
    ASSERT_EQ(r.src->ReadAt(0, buf.data(), buf.size()), 1 << 20);
    const uint64_t failed = r.disk->FailedReads();
    EXPECT_LE(failed, 2u + 8u);  // whole read, its block, the 8 bad sectors
    ASSERT_EQ(r.src->ReadAt(0, buf.data(), buf.size()), 1 << 20);
    ASSERT_EQ(r.src->ReadAt(65536 + 1000, buf.data(), 100), 100);
    EXPECT_EQ(r.disk->FailedReads(), failed);
}

TEST(ResilientSource, LongBadStretchIsSkippedAndRetriedOnceAtTheEnd) {
    // 1 MiB of bad sectors inside 4 MiB: sector by sector that is 2048 failed reads.
    Rig r(4 << 20, {{1 << 20, 1 << 20}});
    std::vector<uint8_t> buf(4 << 20);
    ASSERT_EQ(r.src->ReadAt(0, buf.data(), buf.size()), 4 << 20);
    r.ExpectRead(0, buf, {{1 << 20, 1 << 20}});
    // The whole read, its first block, 32 sectors, one look at that block's end, then one
    // read and one look at the end for each further block.
    EXPECT_LE(r.disk->FailedReads(), 1u + 1u + 32u + 1u + 15u * 2);
    EXPECT_EQ(r.map->Areas(), (std::vector<TByteRange>{{1 << 20, 1 << 20}}));
    ASSERT_FALSE(r.src->Skipped().empty());

    // The disk settles: the middle of the stretch reads now, its edges still fail.
    r.disk->Heal((1 << 20) + 8192, (1 << 20) - 16384);
    std::vector<std::pair<uint64_t, size_t>> handed;
    const uint64_t before = r.disk->FailedReads();
    const std::vector<TByteRange> back =
        r.src->RetrySkipped([&](uint64_t off, std::span<const uint8_t> b) { handed.emplace_back(off, b.size()); });
    EXPECT_LE(r.disk->FailedReads() - before, 64u);  // bounded: a run of failures ends each walk
    ASSERT_FALSE(back.empty());
    uint64_t total = 0;
    for (const auto& h : handed) total += h.second;
    EXPECT_EQ(total, std::accumulate(back.begin(), back.end(), uint64_t{0},
                                     [](uint64_t s, const TByteRange& x) { return s + x.Length; }));
    for (const TByteRange& b : back) EXPECT_FALSE(r.map->Touches(b.Offset, b.Length));
    EXPECT_TRUE(r.map->Touches(1 << 20, 8192));
    EXPECT_TRUE(r.src->Skipped().empty());
    EXPECT_TRUE(r.src->RetrySkipped().empty());
}

TEST(ResilientSource, AStretchEndingMidBlockGivesBackTheRestOfTheBlockAtOnce) {
    Rig r(4 << 20, {{1 << 20, 100 << 10}});
    std::vector<uint8_t> buf(4 << 20);
    ASSERT_EQ(r.src->ReadAt(0, buf.data(), buf.size()), 4 << 20);
    r.ExpectRead(0, buf, {{1 << 20, 100 << 10}});
    EXPECT_EQ(r.map->Areas(), (std::vector<TByteRange>{{1 << 20, 100 << 10}}));
}

TEST(ResilientSource, StrictModeFailsAtTheBadByteAndStillMapsIt) {
    TResilientOptions opt;
    opt.Strict = true;
    Rig r(1 << 16, {{8192, 512}}, opt);
    std::vector<uint8_t> buf(1 << 16);
    EXPECT_EQ(r.src->ReadAt(0, buf.data(), buf.size()), -1);
    EXPECT_NE(r.src->LastError().find("at byte 8192"), std::string::npos) << r.src->LastError();
    EXPECT_TRUE(r.map->Touches(8192, 1));
    EXPECT_EQ(r.src->ReadAt(0, buf.data(), 8192), 8192);
}

TEST(ResilientSource, WatchTellsWhereTheZerosAreInWhatIsPassedOn) {
    Rig r(1 << 16, {{4096, 512}, {20000, 1}});
    std::vector<uint8_t> buf(8192);
    TUnreadableWatch watch;
    ASSERT_EQ(r.src->ReadAt(2048, buf.data(), buf.size()), 8192);
    const std::span<const uint8_t> all(buf);
    EXPECT_EQ(watch.TakeWithin(all.first(3000)), (std::vector<TByteRange>{{2048, 512}}));
    EXPECT_TRUE(watch.Pending().empty());
    ASSERT_EQ(r.src->ReadAt(16384, buf.data(), buf.size()), 8192);
    // Passed on in two pieces: the note lies in the second.
    EXPECT_TRUE(watch.TakeWithin(all.first(3000)).empty());
    EXPECT_EQ(watch.TakeWithin(all.subspan(3000)), (std::vector<TByteRange>{{19968 - 16384 - 3000, 512}}));
    EXPECT_TRUE(watch.Any());
    EXPECT_NE(watch.FirstMessage().find("at byte 4096"), std::string::npos);
}
