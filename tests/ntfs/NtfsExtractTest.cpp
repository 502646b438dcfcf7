// Copying results straight from the volume: hand-made records that each show one way
// of storing data, the cases that must go to the engine instead, a source that fails in
// the middle of a file, and the same bytes as icat over every NTFS image at hand.
#include <gtest/gtest.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <sstream>

#include "NtfsTestImage.h"
#include "TestSupport.h"
#include "core/ReaderReport.h"
#include "ntfs/NtfsExtract.h"
#include "ntfs/NtfsScan.h"

namespace brivo {
namespace {

using test::Bytes;
using test::Ref;
using test::TestData;
using test::TestRecord;

class StringSink : public TByteSink {
public:
    void Write(std::span<const uint8_t> bytes) override {
        data.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        maxChunk = std::max(maxChunk, bytes.size());
    }
    std::string data;
    size_t maxChunk = 0;
};

// Stands in for icat: counts the results handed to it and writes a marker.
class MarkingFallback : public TExtractor {
public:
    explicit MarkingFallback(int& calls) : calls_(calls) {}
    void Extract(const TFoundFile&, TByteSink& sink) override {
        ++calls_;
        static const uint8_t mark[] = {'E', 'N', 'G', 'I', 'N', 'E'};
        sink.Write(mark);
    }

private:
    int& calls_;
};

// A source that fails every read reaching byte failAt or beyond.
class FailingSource : public TByteSource {
public:
    FailingSource(TByteSourcePtr inner, uint64_t failAt) : inner_(std::move(inner)), failAt_(failAt) {}
    uint64_t Size() const override { return inner_->Size(); }
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override {
        if (offset + n > failAt_) return -1;
        return inner_->ReadAt(offset, buf, n);
    }
    const std::string& Name() const override { return inner_->Name(); }
    std::string LastError() const override { return "Input/output error"; }

private:
    TByteSourcePtr inner_;
    uint64_t failAt_;
};

TFoundFile Result(const std::string& inode) {
    TFoundFile f;
    f.Inode = inode;
    f.FullPath = "f" + inode;
    return f;
}

TestRecord FileWith(std::vector<TestData> data, std::vector<Bytes> extra = {}) {
    TestRecord r;
    r.Names = {{Ref(5, 5), u"f.bin", 1}};
    r.Data = std::move(data);
    r.Extra = std::move(extra);
    return r;
}

constexpr int64_t kCluster = 4096;

// Clusters 40.. hold a byte pattern that differs per cluster.
Bytes Pattern(int64_t cluster, int64_t bytes) {
    Bytes b(static_cast<size_t>(bytes));
    for (int64_t i = 0; i < bytes; ++i) b[static_cast<size_t>(i)] = static_cast<uint8_t>(cluster * 7 + i * 13 + i / 251);
    return b;
}

struct Volume {
    test::TestVolume v;
    Bytes image;
    explicit Volume(std::vector<TestRecord> files, int64_t clusters = 64) {
        v.Clusters = clusters;
        v.Records.resize(16 + files.size());
        for (size_t i = 0; i < files.size(); ++i) v.Records[16 + i] = test::MakeRecord(files[i]);
        image = v.Build();
        for (int64_t c = 40; c < clusters; ++c) {
            const Bytes p = Pattern(c, kCluster);
            std::copy(p.begin(), p.end(), image.begin() + c * kCluster);
        }
    }
    std::string At(int64_t offset, int64_t n) const {
        return std::string(image.begin() + offset, image.begin() + offset + n);
    }
};

std::string Extract(TByteSourcePtr src, const std::string& inode, int* fallbackCalls = nullptr) {
    int calls = 0;
    auto ex = MakeNtfsExtractor(std::move(src), std::make_unique<MarkingFallback>(calls));
    StringSink sink;
    ex->Extract(Result(inode), sink);
    if (fallbackCalls) *fallbackCalls = calls;
    return sink.data;
}

TEST(NtfsExtract, AddressesAsTheEngineWritesThem) {
    struct Case {
        const char* text;
        bool ok;
        uint64_t record;
        std::optional<uint32_t> type;
        std::optional<uint16_t> id;
    } cases[] = {
        {"16", true, 16, {}, {}},
        {"16-128", true, 16, 128, {}},
        {"16-128-3", true, 16, 128, 3},
        {"", false, 0, {}, {}},
        {"16-", false, 0, {}, {}},
        {"16-128-70000", false, 0, {}, {}},
        {"x16", false, 0, {}, {}},
        {"16-128-3-1", false, 0, {}, {}},
        {"99999999999999999999", false, 0, {}, {}},
    };
    for (const auto& c : cases) {
        const auto a = ParseNtfsAddress(c.text);
        ASSERT_EQ(a.has_value(), c.ok) << c.text;
        if (!a) continue;
        EXPECT_EQ(a->Record, c.record) << c.text;
        EXPECT_EQ(a->Type, c.type) << c.text;
        EXPECT_EQ(a->Id, c.id) << c.text;
    }
}

TEST(NtfsExtract, CopiesResidentSparseAndUninitializedDataAsStored) {
    // Runs: clusters 40-41, one sparse cluster, cluster 44; the data ends 1000 bytes into
    // the last run.
    const Bytes runs = test::Concat({test::RunEntry(2, 40, 1, 1), Bytes{0x01, 0x01}, test::RunEntry(1, 4, 1, 1)});
    const int64_t size = 3 * kCluster + 1000;
    TestData full(false, {}, size, runs);
    TestData partInit(false, {}, size, runs);
    partInit.InitSize = kCluster + 100;
    TestData resident(true, Bytes{'h', 'e', 'l', 'l', 'o'});
    TestData sparseFlagged(false, {}, size, runs);
    sparseFlagged.AttrFlags = 0x8000;
    Volume vol({FileWith({resident}), FileWith({full}), FileWith({partInit}), FileWith({sparseFlagged}),
                FileWith({TestData(false, {}, 0, test::RunEntry(1, 40, 1, 1))})});
    const auto src = MakeMemoryByteSource(vol.image, "v.img");

    const std::string zeros(kCluster, '\0');
    const std::string expectFull = vol.At(40 * kCluster, 2 * kCluster) + zeros + vol.At(44 * kCluster, 1000);
    const std::string expectInit = vol.At(40 * kCluster, kCluster + 100) + std::string(size - kCluster - 100, '\0');
    struct Case {
        const char* inode;
        std::string want;
    } cases[] = {
        {"16", "hello"}, {"16-128-0", "hello"}, {"17", expectFull}, {"18", expectInit}, {"19", expectFull}, {"20", ""},
    };
    for (const auto& c : cases) {
        int calls = -1;
        EXPECT_EQ(Extract(src, c.inode, &calls), c.want) << c.inode;
        EXPECT_EQ(calls, 0) << c.inode;
    }
}

TEST(NtfsExtract, LeavesWhatOnlyTheEngineReadsToTheFallback) {
    const Bytes oneRun = test::RunEntry(2, 40, 1, 1);
    TestData compressed(false, {}, 2 * kCluster, oneRun);
    compressed.AttrFlags = 0x0001;
    TestData encrypted(false, {}, 2 * kCluster, oneRun);
    encrypted.AttrFlags = 0x4000;
    TestData named(true, Bytes{'s'}, 0, {}, 3);
    named.Id = 3;
    TestData plain(true, Bytes{'p'});
    plain.Id = 1;
    const Bytes attrList = test::ResidentAttr(0x20, Bytes(32, 0));

    Volume vol({
        FileWith({compressed}),                                          // 16
        FileWith({encrypted}),                                           // 17
        FileWith({named}),                                               // 18: a named stream alone
        FileWith({plain, named}),                                        // 19
        FileWith({TestData(false, {}, 3 * kCluster, oneRun)}),           // 20: runs end before the data
        FileWith({TestData(false, {}, kCluster, test::RunEntry(2, 63, 1, 1))}),  // 21: past the volume's end
        FileWith({TestData(true, Bytes{'a'})}, {attrList}),              // 22: $ATTRIBUTE_LIST
        FileWith({TestData(true, Bytes{'t'})}),                          // 23: torn below
        FileWith({plain, plain}),                                        // 24: two unnamed $DATA
    });
    vol.image[static_cast<size_t>(4 * kCluster + 23 * 1024 + 510)] ^= 0xFF;  // sector end of record 23
    const auto src = MakeMemoryByteSource(vol.image, "v.img");

    for (const char* inode : {"16", "17", "18", "20", "21", "22", "23", "24", "19-48", "19-128-9", "9999", "7", "bad"}) {
        int calls = -1;
        EXPECT_EQ(Extract(src, inode, &calls), "ENGINE") << inode;
        EXPECT_EQ(calls, 1) << inode;
    }
    // The unnamed stream beside a named one, and the named one by its id, are copied
    // directly.
    for (auto [inode, want] : {std::pair{"19", "p"}, {"19-128-1", "p"}, {"19-128-3", "s"}, {"18-128-3", "s"}}) {
        int calls = -1;
        EXPECT_EQ(Extract(src, inode, &calls), want) << inode;
        EXPECT_EQ(calls, 0) << inode;
    }

    // Without a fallback the user learns why the file cannot be copied.
    auto ex = MakeNtfsExtractor(src, nullptr);
    StringSink sink;
    EXPECT_THROW(ex->Extract(Result("16"), sink), std::runtime_error);
    ex = MakeNtfsExtractor(MakeMemoryByteSource(Bytes(4096, 0), "blank.img"), nullptr);
    try {
        ex->Extract(Result("16"), sink);
        ADD_FAILURE() << "no NTFS volume, nothing to copy";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Fast Direct NTFS scan failed: selected source does not look like NTFS.");
    }
}

TEST(NtfsExtract, ReadErrorInTheMiddleOfAFileNamesSourceAndOffset) {
    Volume vol({FileWith({TestData(false, {}, 3 * kCluster, test::RunEntry(3, 40, 1, 1))})});
    const auto failing = std::make_shared<FailingSource>(MakeMemoryByteSource(vol.image, "disk.img"), 41 * kCluster);
    auto ex = MakeNtfsExtractor(failing, nullptr);
    StringSink sink;
    try {
        ex->Extract(Result("16"), sink);
        ADD_FAILURE() << "read error not raised";
    } catch (const std::runtime_error& e) {
        EXPECT_EQ(std::string(e.what()), "Cannot read disk.img at byte " + std::to_string(40 * kCluster) +
                                             ": Input/output error");
    }
    EXPECT_LT(sink.data.size(), static_cast<size_t>(3 * kCluster));
}

TEST(NtfsExtract, LargeFilesStreamInBoundedChunks) {
    // 400 clusters (1.6 MB) in one run, and a sparse stretch of 300 clusters after it.
    const Bytes runs = test::Concat({test::RunEntry(400, 100, 2, 1), test::RunEntry(300, 0, 2, 0)});
    const int64_t size = 700 * kCluster - 5;
    Volume vol({FileWith({TestData(false, {}, size, runs)})}, 600);
    int calls = 0;
    auto ex = MakeNtfsExtractor(MakeMemoryByteSource(vol.image), std::make_unique<MarkingFallback>(calls));
    StringSink sink;
    ex->Extract(Result("16"), sink);
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(sink.data.size(), static_cast<size_t>(size));
    EXPECT_TRUE(sink.data.substr(0, 400 * kCluster) == vol.At(100 * kCluster, 400 * kCluster));
    EXPECT_EQ(sink.data.find_first_not_of('\0', 400 * kCluster), std::string::npos);
    EXPECT_LE(sink.maxChunk, size_t{1} << 20);
}

// ---- the same bytes as icat, over real volumes

// Every deleted file the scan lists, extracted directly and by `icat -R`; returns how
// many went the direct way.
int ExpectSameBytesAsIcat(const std::string& image, uint64_t startSector, const std::string& label) {
    TByteSourcePtr disk = OpenRawByteSource(image);
    TByteSourcePtr vol = startSector == 0 ? disk
                                          : MakeSliceByteSource(disk, startSector * 512, disk->Size() - startSector * 512,
                                                                label);
    TNullReport report;
    TReaderOptions opts;
    opts.Masks = {"*"};
    opts.Cleanup = false;
    const TReaderResult scan = FastScanNtfsDirect(*vol, report, opts);
    EXPECT_FALSE(scan.Found.empty()) << label;
    int engine = 0, direct = 0;
    auto ex = MakeNtfsExtractor(vol, std::make_unique<MarkingFallback>(engine));
    for (const TFoundFile& f : scan.Found) {
        const int before = engine;
        StringSink sink;
        ex->Extract(f, sink);
        if (engine != before) continue;
        ++direct;
        std::vector<std::string> argv = {"icat", "-R"};
        if (startSector) argv.insert(argv.end(), {"-o", std::to_string(startSector)});
        argv.insert(argv.end(), {image, f.Inode});
        const test::ProcessResult cat = test::RunProcess(argv);
        EXPECT_EQ(cat.exitCode, 0) << label << " " << f.FullPath << ": " << cat.err;
        EXPECT_EQ(sink.data.size(), cat.out.size()) << label << " " << f.FullPath;
        EXPECT_TRUE(sink.data == cat.out) << label << " " << f.FullPath << " (" << f.Inode << ")";
    }
    return direct;
}

TEST(NtfsExtractFixture, SameBytesAsIcatOnTheNtfsFixtures) {
    // ntfs-4k.img: 4096-byte sectors and records; every file and stream it lists copies
    // directly.
    for (auto [name, direct] : {std::pair{"ntfs.img", 0}, {"ntfs-4k.img", 5}}) {
        test::TempDir dir;
        const int n = ExpectSameBytesAsIcat(test::UnpackFixture(name, dir), 0, name);
        if (direct) EXPECT_EQ(n, direct) << name;
        else EXPECT_GT(n, 0) << name;
    }
}

// NTFS volumes inside the partitioned fixtures, found by the engine's partition listing.
TEST(NtfsExtractFixture, SameBytesAsIcatOnPartitionedDisks) {
    test::TempDir dir;
    int volumes = 0;
    for (const char* name : {"gpt-disk.img", "mbr-ext-disk.img"}) {
        const std::string img = test::UnpackFixture(name, dir);
        const test::ProcessResult mm = test::RunProcess({"mmls", img});
        ASSERT_EQ(mm.exitCode, 0) << mm.err;
        std::istringstream lines(mm.out);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string slot, kind;
            uint64_t start = 0;
            // Partition rows name their slot in digits ("000", "001:000"); "Meta" and
            // "-------" rows are tables and gaps.
            if (!(fields >> slot >> kind >> start) || !std::isdigit(static_cast<unsigned char>(kind[0])) || start == 0)
                continue;
            const test::ProcessResult fs = test::RunProcess({"fsstat", "-t", "-o", std::to_string(start), img});
            if (fs.exitCode != 0 || fs.out.rfind("ntfs", 0) != 0) continue;
            ++volumes;
            EXPECT_GT(ExpectSameBytesAsIcat(img, start, std::string(name) + "@" + std::to_string(start)), 0);
        }
    }
    EXPECT_GE(volumes, 3);
}

TEST(NtfsExtractFixture, SameBytesAsIcatOnAVolumeWrittenByWindows) {
    BRIVO_REQUIRE_TESTDATA(gz, "8-jpeg-search.dd.gz");
    test::TempDir dir;
    test::ProcessResult unz = test::RunProcess({"gzip", "-dc", gz});
    ASSERT_EQ(unz.exitCode, 0) << unz.err;
    test::WriteFileBytes(dir / "8.dd", unz.out);
    EXPECT_EQ(ExpectSameBytesAsIcat(dir / "8.dd", 0, "8-jpeg-search.dd"), 2);
}

} // namespace
} // namespace brivo
