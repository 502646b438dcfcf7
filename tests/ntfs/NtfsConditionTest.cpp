// File condition from the cluster bitmap, and what AnalyzeMftRecord reads from a deleted
// file's record (time, size, condition).
#include <gtest/gtest.h>

#include "NtfsTestImage.h"
#include "core/ByteReaders.h"
#include "ntfs/NtfsCondition.h"
#include "ntfs/NtfsFixups.h"
#include "ntfs/NtfsRecordAnalysis.h"

namespace brivo {
namespace {

using test::Bytes;

// A loaded bitmap of `clusters` clusters with the listed ones in use.
TNtfsClusterBitmap BitmapWith(int64_t clusters, std::initializer_list<std::pair<int64_t, int64_t>> usedRanges) {
    TNtfsClusterBitmap bm;
    bm.Bits.assign(static_cast<size_t>((clusters + 7) / 8), 0);
    for (auto [from, count] : usedRanges)
        for (int64_t c = from; c < from + count; ++c) bm.Bits[static_cast<size_t>(c / 8)] |= static_cast<uint8_t>(1 << (c % 8));
    bm.Loaded = true;
    return bm;
}

TEST(NtfsCondition, RatesTheShareOfReusedClusters) {
    struct Case {
        const char* what;
        TNtfsClusterBitmap bm;
        TNtfsRuns runs;
        const char* text;
        int score;
    } cases[] = {
        {"3 of 100 reused", BitmapWith(1000, {{110, 3}}), {{0, 100, 100}}, "Good, 3% reused", 80},
        {"exactly 5%", BitmapWith(1000, {{100, 5}}), {{0, 100, 100}}, "Good, 5% reused", 80},
        {"exactly 50%", BitmapWith(1000, {{100, 50}}), {{0, 100, 100}}, "Damaged, 50% reused", 45},
        {"51%", BitmapWith(1000, {{100, 51}}), {{0, 100, 100}}, "Poor, 51% reused", 15},
        {"none reused", BitmapWith(1000, {}), {{0, 100, 10}}, "Excellent", 100},
        {"one of one reused", BitmapWith(1000, {{100, 1}}), {{0, 100, 1}}, "Overwritten", 0},
        {"20000 clusters: first 16384 tested", BitmapWith(30000, {}), {{0, 100, 20000}}, "Excellent sampled", 100},
        {"16384 clusters exactly: not sampled", BitmapWith(30000, {}), {{0, 100, 16384}}, "Excellent", 100},
        {"sample budget spans runs", BitmapWith(40000, {{20000, 10000}}),
         {{0, 100, 10000}, {10000, 20000, 10000}}, "Damaged, 39% reused sampled", 45},
        {"run beyond the bitmap counts as free", BitmapWith(16, {{0, 16}}), {{0, 5000, 10}}, "Excellent", 100},
        {"sparse and empty runs skipped", BitmapWith(1000, {{100, 10}}), {{0, 0, 50}, {50, 100, 0}, {50, 200, 4}},
         "Excellent", 100},
        {"only sparse runs", BitmapWith(1000, {}), {{0, 0, 50}}, "Unknown", -1},
        {"a sparse entry repeating the previous Lcn is not rated again", BitmapWith(1000, {{100, 10}}),
         {{0, 200, 10}, {10, 100, 10}, {20, 100, 80, true}}, "Damaged, 50% reused", 45},
        {"no runs", BitmapWith(1000, {}), {}, "Unknown", -1},
        {"bitmap not loaded", TNtfsClusterBitmap{}, {{0, 100, 10}}, "Unknown", -1},
    };
    for (const auto& c : cases) {
        TNtfsCondition cond = EstimateRunCondition(c.bm, c.runs);
        EXPECT_EQ(cond.Text, c.text) << c.what;
        EXPECT_EQ(cond.Score, c.score) << c.what;
    }
}

TEST(NtfsCondition, TranslatesTextsButNotTheSuffix) {
    auto tr = [](const std::string& s) -> std::string {
        if (s == "Excellent") return "Ausgezeichnet";
        if (s == "Good, %.0f%% reused%s") return "Gut, %.0f%% wiederverwendet%s";
        if (s == "Poor, %.0f%% reused%s") return "Schlecht %d %s %s";  // broken template
        return s;
    };
    EXPECT_EQ(EstimateRunCondition(BitmapWith(30000, {}), {{0, 100, 20000}}, tr).Text, "Ausgezeichnet sampled");
    EXPECT_EQ(EstimateRunCondition(BitmapWith(1000, {{100, 1}}), {{0, 100, 100}}, tr).Text, "Gut, 1% wiederverwendet");
    // A stray directive in a translation is shown, never handed to a formatter.
    EXPECT_EQ(EstimateRunCondition(BitmapWith(1000, {{100, 60}}), {{0, 100, 100}}, tr).Text, "Schlecht %d %s %s");
}

TEST(NtfsCondition, ClusterTestStaysInsideTheBitmap) {
    TNtfsClusterBitmap bm = BitmapWith(16, {{3, 1}, {15, 1}});
    EXPECT_TRUE(IsClusterInUse(bm, 3));
    EXPECT_TRUE(IsClusterInUse(bm, 15));
    EXPECT_FALSE(IsClusterInUse(bm, 4));
    EXPECT_FALSE(IsClusterInUse(bm, 16));
    EXPECT_FALSE(IsClusterInUse(bm, -1));
    EXPECT_FALSE(IsClusterInUse(bm, INT64_MAX));
    bm.Loaded = false;
    EXPECT_FALSE(IsClusterInUse(bm, 3));
}

TNtfsRecordFacts Analyze(const test::TestRecord& r, const TNtfsClusterBitmap& bm, bool streams = false) {
    Bytes rec = test::MakeRecord(r);
    EXPECT_EQ(ApplyFixups(rec), TNtfsFixups::Ok);
    return AnalyzeMftRecord(rec, bm, {}, streams);
}

TEST(NtfsRecordAnalysis, ReadsTimeSizeAndCondition) {
    const TNtfsClusterBitmap bm = BitmapWith(1000, {{200, 1}});
    test::TestRecord r;
    r.Names = {{test::Ref(5, 5), u"a.txt", 1}};
    r.ModTime = 132223104050000000ull;  // 2020-01-01 00:00:05 UTC
    r.Data = {{true, Bytes(300, 'x')}};
    TNtfsRecordFacts f = Analyze(r, bm);
    EXPECT_TRUE(f.HasData);
    EXPECT_EQ(f.Size, 300);
    EXPECT_TRUE(f.HasModDate);
    EXPECT_NEAR(f.ModDateUtc, 43831.0 + 8.64 / 86400, 1e-9) << "8.64-second units";
    EXPECT_EQ(f.Condition.Text, "Excellent (resident)");
    EXPECT_EQ(f.Condition.Score, 100);

    struct Case {
        const char* what;
        std::vector<test::TestData> data;
        bool hasData;
        int64_t size;
        const char* text;
        int score;
    } cases[] = {
        {"empty resident", {{true, {}}}, true, 0, "Empty", 0},
        {"non-resident size 0", {{false, {}, 0, test::RunEntry(1, 200, 1, 2)}}, true, 0, "Empty", 0},
        {"non-resident, its cluster reused", {{false, {}, 4096, test::RunEntry(1, 200, 1, 2)}}, true, 4096, "Overwritten", 0},
        {"named stream passed over", {{true, Bytes(10, 1), 0, {}, 6}, {false, {}, 8192, test::RunEntry(2, 300, 1, 2)}},
         true, 8192, "Excellent", 100},
        {"only a named stream", {{true, Bytes(10, 1), 0, {}, 6}}, false, 0, "Unknown", -1},
        {"no data at all", {}, false, 0, "Unknown", -1},
    };
    for (const auto& c : cases) {
        test::TestRecord x;
        x.Names = r.Names;
        x.Data = c.data;
        f = Analyze(x, bm);
        EXPECT_EQ(f.HasData, c.hasData) << c.what;
        EXPECT_EQ(f.Size, c.size) << c.what;
        EXPECT_EQ(f.Condition.Text, c.text) << c.what;
        EXPECT_EQ(f.Condition.Score, c.score) << c.what;
        EXPECT_FALSE(f.HasModDate) << c.what;
    }

    // A resident file keeps its condition with no bitmap; a time of 0 is no time.
    r.ModTime = 0;
    f = Analyze(r, TNtfsClusterBitmap{});
    EXPECT_EQ(f.Condition.Text, "Excellent (resident)");
    EXPECT_FALSE(f.HasModDate);
}

TEST(NtfsRecordAnalysis, NamedStreamsWhenAskedFor) {
    const TNtfsClusterBitmap bm = BitmapWith(1000, {{200, 1}});
    test::TestData main(true, Bytes(10, 'm'));
    test::TestData resident(true, Bytes(5, 's'));
    resident.Name = u"Zone.Identifier";
    resident.Id = 4;
    test::TestData reused(false, {}, 4096, test::RunEntry(1, 200, 1, 2));
    reused.Name = u"мета";
    reused.Id = 7;
    test::TestRecord r;
    r.Data = {main, resident, reused};

    const TNtfsRecordFacts plain = Analyze(r, bm);
    EXPECT_EQ(plain.Size, 10);
    EXPECT_TRUE(plain.Streams.empty());

    const TNtfsRecordFacts f = Analyze(r, bm, true);
    EXPECT_EQ(f.Size, 10) << "the unnamed stream is still the file's own";
    ASSERT_EQ(f.Streams.size(), 2u);
    EXPECT_EQ(f.Streams[0].Name, "Zone.Identifier");
    EXPECT_EQ(f.Streams[0].Id, 4);
    EXPECT_EQ(f.Streams[0].Size, 5);
    EXPECT_EQ(f.Streams[0].Condition.Text, "Excellent (resident)");
    EXPECT_EQ(f.Streams[1].Name, "мета");
    EXPECT_EQ(f.Streams[1].Id, 7);
    EXPECT_EQ(f.Streams[1].Size, 4096);
    EXPECT_EQ(f.Streams[1].Condition.Text, "Overwritten");

    // A name said to reach past its attribute is no stream.
    test::TestRecord only;
    only.Data = {resident};
    Bytes rec = test::MakeRecord(only);
    ASSERT_EQ(ApplyFixups(rec), TNtfsFixups::Ok);
    rec[ReadLe16(rec, 20) + 9] = 200;
    EXPECT_TRUE(AnalyzeMftRecord(rec, bm, {}, true).Streams.empty());
}

TEST(NtfsRecordAnalysis, NonResidentHeaderCutShortStaysUnknown) {
    test::TestRecord r;
    r.Data = {{false, {}, 4096, test::RunEntry(1, 200, 1, 2)}};
    Bytes rec = test::MakeRecord(r);
    ASSERT_EQ(ApplyFixups(rec), TNtfsFixups::Ok);
    const size_t p = ReadLe16(rec, 20);
    using test::PutLe;
    // Cut the record inside the attribute's header, with a length that still fits.
    PutLe(rec, p + 4, 40, 4);
    rec.resize(p + 40);
    TNtfsRecordFacts f = AnalyzeMftRecord(rec, BitmapWith(1000, {}));
    EXPECT_TRUE(f.HasData);
    EXPECT_EQ(f.Size, 0);
    EXPECT_EQ(f.Condition.Text, "Unknown");
}

} // namespace
} // namespace brivo
