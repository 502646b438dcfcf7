#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <sys/stat.h>

#include "FatMemVolume.h"
#include "TestSupport.h"
#include "core/ByteReaders.h"
#include "core/ByteSource.h"
#include "fat32/Fat32Log.h"
#include "fat32/Fat32Volume.h"
#include "fat32/Fat32Walk.h"
#include "fat32/FatFragments.h"

using namespace brivo;
using namespace brivo::test;

namespace {

std::vector<uint32_t> Range(uint32_t from, uint32_t to) {
    std::vector<uint32_t> v;
    for (uint32_t c = from; c <= to; ++c) v.push_back(c);
    return v;
}

// A FAT16 image in memory: just enough geometry to list deleted entries and read clusters.
struct Fat16Image {
    std::vector<uint8_t> bytes;
    uint32_t bps = 0, bpc = 0, limit = 0;
    uint64_t fatOffset = 0, rootOffset = 0, rootBytes = 0, dataOffset = 0;

    explicit Fat16Image(const std::string& raw) : bytes(raw.begin(), raw.end()) {
        const ByteSpan b(bytes);
        bps = ReadLe16(b, 11);
        bpc = bps * ReadU8(b, 13);
        fatOffset = uint64_t{ReadLe16(b, 14)} * bps;
        rootOffset = fatOffset + uint64_t{ReadU8(b, 16)} * ReadLe16(b, 22) * bps;
        rootBytes = uint64_t{ReadLe16(b, 17)} * 32;
        dataOffset = rootOffset + rootBytes;
        const uint32_t sectors = ReadLe16(b, 19) ? ReadLe16(b, 19) : ReadLe32(b, 32);
        limit = uint32_t((uint64_t{sectors} * bps - dataOffset) / bpc + 2);
    }
    uint64_t Offset(uint32_t c) const { return dataOffset + uint64_t(c - 2) * bpc; }
    TFatVolumeView View() const {
        TFatVolumeView v;
        v.BytesPerCluster = bpc;
        v.BytesPerSector = bps;
        v.ClusterLimit = limit;
        v.FatEntry = [this](uint32_t c) { return uint32_t(ReadLe16(bytes, fatOffset + 2 * c)); };
        v.ReadClusters = [this](uint32_t first, uint32_t count, uint8_t* out) {
            if (Offset(first) + uint64_t{count} * bpc > bytes.size()) return false;
            std::memcpy(out, bytes.data() + Offset(first), size_t(count) * bpc);
            return true;
        };
        v.ClusterOffset = [this](uint32_t c) { return int64_t(Offset(c)); };
        return v;
    }
    // Deleted short entries of the root and of deleted folders (one cluster each here), with
    // the engine's address: the 32-byte slot counted from the root directory, plus 3.
    void ListDeleted(uint64_t at, uint64_t len, bool parentDeleted, std::vector<TFatDeletedEntry>& out) const {
        for (uint64_t o = at; o + 32 <= at + len; o += 32) {
            const ByteSpan e = ByteSpan(bytes).subspan(o, 32);
            if (e[0] == 0) break;
            if (e[11] == 0x0F || e[0] == '.' || (e[11] & 0x08)) continue;
            if (e[0] != 0xE5 && !parentDeleted) continue;
            const uint32_t start = ReadLe16(e, 26);
            const bool dir = e[11] & 0x10;
            out.push_back({std::to_string((o - rootOffset) / 32 + 3), start, ReadLe32(e, 28), dir});
            if (dir && start >= 2 && start < limit) ListDeleted(Offset(start), bpc, true, out);
        }
    }
    std::string Content(const std::vector<uint32_t>& clusters, uint64_t size) const {
        std::string s;
        for (uint32_t c : clusters) s.append(reinterpret_cast<const char*>(bytes.data() + Offset(c)), bpc);
        s.resize(std::min<uint64_t>(size, s.size()));
        return s;
    }
};

std::string Md5(const TempDir& dir, const std::string& data) {
    const std::string path = dir / "content";
    WriteFileBytes(path, data);
    return Md5OfFile(path);
}

} // namespace

// The FAT16 test image whose answer key gives the true layout of three fragmented files.
TEST(FatFragments, FragmentedFilesOfTheUndeleteImageMatchTheTrueContent) {
    BRIVO_REQUIRE_TESTDATA(gz, "6-fat-undel.dd.gz");
    const ProcessResult unpacked = RunProcess({"gzip", "-dc", gz});
    ASSERT_EQ(unpacked.exitCode, 0);
    const Fat16Image img(unpacked.out);
    std::vector<TFatDeletedEntry> entries;
    img.ListDeleted(img.rootOffset, img.rootBytes, false, entries);
    const TFatClusterPlans plans = PlanFatClusters(img.View(), entries, {});

    // Address -> MD5: the three fragmented files from the image's documentation, the rest as
    // the engine's icat gives them (KEY-6-fat-undel.dd.md5.txt).
    const std::map<std::string, std::string> want = {
        {"4", "7a3bc5b763bef201202108f4ba128149"},    // frag1.dat
        {"5", "0e80ab84ef0087e60dfc67b88a1cf13e"},    // frag2.dat
        {"965", "21121699487f3fbbdb9a4b3391b6d3e0"},  // dir1/dir2/frag3.dat
        {"6", "59b20779f69ff9f0ac5fcd2c38835a79"},    // sing.dat
        {"7", "ffd27bd782bdce67750b6b9ee069d2ef"},    // mult1.dat
        {"870", "59cf0e9cd107bc1e75afb7374f6e05bb"},  // dir1/mult2.dat
    };
    TempDir dir;
    std::map<std::string, bool> seen;
    for (const auto& e : entries) {
        auto w = want.find(e.Address);
        if (e.IsDir || w == want.end()) continue;
        seen[e.Address] = true;
        const auto p = plans.find(e.Address);
        const bool fragmented = e.Address == "4" || e.Address == "5" || e.Address == "965";
        EXPECT_EQ(p != plans.end(), fragmented) << e.Address;
        const std::vector<uint32_t> clusters =
            p != plans.end() ? p->second.Clusters
                             : Range(e.FirstCluster, uint32_t(e.FirstCluster + (e.SizeBytes + img.bpc - 1) / img.bpc - 1));
        if (p != plans.end()) {
            EXPECT_TRUE(p->second.Fragmented && p->second.Complete) << e.Address;
        }
        EXPECT_EQ(Md5(dir, img.Content(clusters, e.SizeBytes)), w->second) << "address " << e.Address;
    }
    EXPECT_EQ(seen.size(), want.size());
    EXPECT_EQ(plans.at("5").Clusters, (std::vector<uint32_t>{3, 5, 6, 12}));
}

TEST(FatFragments, WhereAFileMustStopOrStaysContiguous) {
    constexpr uint32_t kB = 512;
    struct Case {
        const char* what;
        std::function<void(FatMemVolume&)> setup;  // 40 clusters, 2..41
        std::vector<TFatDeletedEntry> entries;
        std::map<std::string, TFatClusterPlan> want;  // only these addresses have plans
        std::unordered_set<uint32_t> dirs = {};        // known directory clusters
    };
    const std::vector<Case> cases = {
        {"a clean range is read as it stands, whatever its slack holds",
         [](FatMemVolume& v) { v.Fill(12, 0x55); },
         {{"a", 10, 3 * kB - 100}},
         {}},
        {"no candidate left: everything after the first cluster is in use",
         [](FatMemVolume& v) {
             for (uint32_t c = 11; c < 42; ++c) v.Use(c);
         },
         {{"a", 10, 3 * kB}},
         {{"a", {{10}, false, false}}}},
        {"the range runs off the end of the volume",
         [](FatMemVolume&) {},
         {{"a", 39, 5 * kB}},
         {{"a", {{39, 40, 41}, false, false}}}},
        {"live clusters and another deleted file's first cluster are skipped",
         [](FatMemVolume& v) { v.Use(11); },
         {{"a", 10, 3 * kB}, {"b", 12, kB}},
         {{"a", {{10, 13, 14}, true, true}}}},
        {"a pinned range is passed over as a whole",
         [](FatMemVolume&) {},
         {{"a", 10, 2 * kB}, {"b", 11, 3 * kB}},
         {{"a", {{10, 14}, true, true}}}},
        {"a folder's first cluster and known directory data are skipped",
         [](FatMemVolume&) {},
         {{"a", 10, 3 * kB}, {"d", 11, 0, true}},
         {{"a", {{10, 13, 14}, true, true}}},
         {12}},
    };
    for (const auto& c : cases) {
        FatMemVolume vol(40);
        c.setup(vol);
        const TFatClusterPlans plans = PlanFatClusters(vol.View(), c.entries, c.dirs);
        EXPECT_EQ(plans.size(), c.want.size()) << c.what;
        for (const auto& [addr, plan] : c.want) {
            ASSERT_TRUE(plans.count(addr)) << c.what;
            EXPECT_EQ(plans.at(addr).Clusters, plan.Clusters) << c.what;
            EXPECT_EQ(plans.at(addr).Fragmented, plan.Fragmented) << c.what;
            EXPECT_EQ(plans.at(addr).Complete, plan.Complete) << c.what;
        }
    }
}

// Two files written in turns: the earlier one takes the next free cluster; the later one's
// range, whose last cluster does not end like a file, gives way.
TEST(FatFragments, InterleavedFilesTakeTurnsByTheirLastCluster) {
    FatMemVolume vol(40);
    // a: 10, 12 (ends 100 bytes into 12, zeros after); b: 11, 13, 14 (ends 300 bytes into 14).
    for (uint32_t c : {10u, 11u, 12u, 13u, 14u}) vol.Random(c, c);
    vol.Fill(12, 0, 100);
    vol.Fill(14, 0, 300);
    const TFatClusterPlans plans =
        PlanFatClusters(vol.View(), {{"a", 10, 512 + 100}, {"b", 11, 2 * 512 + 300}}, {});
    ASSERT_TRUE(plans.count("a") && plans.count("b"));
    EXPECT_EQ(plans.at("a").Clusters, (std::vector<uint32_t>{10, 12}));
    EXPECT_EQ(plans.at("b").Clusters, (std::vector<uint32_t>{11, 13, 14}));
}

// The reader hands the same plans over with its results.
TEST(FatFragments, TheReaderReturnsThePlansOfTheUndeleteImage) {
    BRIVO_REQUIRE_TESTDATA(gz, "6-fat-undel.dd.gz");
    const ProcessResult unpacked = RunProcess({"gzip", "-dc", gz});
    ASSERT_EQ(unpacked.exitCode, 0);
    const TByteSourcePtr src =
        MakeMemoryByteSource(std::span(reinterpret_cast<const uint8_t*>(unpacked.out.data()), unpacked.out.size()));
    TReaderOptions opts;
    opts.Masks = {};
    TNullReport report;
    TFat32Log log(report);
    const TReaderResult r = RunFat32Scan(log, OpenFat32Volume(*src, log), opts);
    ASSERT_TRUE(r.ClusterPlans);
    EXPECT_EQ(*r.ClusterPlans, (TClusterPlanMap{{"4", {2, 4}}, {"5", {3, 5, 6, 12}}, {"965", {17, 20}}}));
}
