// The deep scan's sweep of free clusters for FILE records an earlier $MFT left behind:
// hand-made volumes for the record checks and path rebuilding, and a volume populated,
// quick-formatted and written again with the real tools.
#include <gtest/gtest.h>

#include <map>
#include <set>

#include "NtfsTestImage.h"
#include "TestSupport.h"
#include "core/ByteSource.h"
#include "core/Extractor.h"
#include "ntfs/NtfsExtract.h"
#include "ntfs/NtfsScan.h"
#include "ntfs/NtfsSweep.h"

namespace brivo {
namespace {

using test::Bytes;
using test::PutLe;
using test::Ref;
using test::TestData;
using test::TestRecord;

constexpr int64_t kCluster = 4096;
// Where the earlier $MFT lay: its record N at byte kOldMft + N * 1024.
constexpr int64_t kOldMft = 16 * kCluster;

Bytes Numbered(TestRecord r, uint32_t number) {
    Bytes b = test::MakeRecord(r);
    PutLe(b, 44, number, 4);
    return b;
}

TestRecord Named(uint64_t parent, const std::u16string& name, bool dir, std::vector<TestData> data = {}) {
    TestRecord r;
    r.Flags = dir ? 3 : 1;
    r.Names = {{parent, name, 1}};
    r.Data = std::move(data);
    return r;
}

void Put(Bytes& img, int64_t pos, const Bytes& rec) { std::memcpy(img.data() + pos, rec.data(), rec.size()); }

std::map<std::string, TFoundFile> DeepScan(const Bytes& img) {
    TNullReport report;
    TReaderOptions opts;
    opts.Deep = true;
    opts.Cleanup = false;
    auto src = MakeMemoryByteSource(img, "v.img");
    std::map<std::string, TFoundFile> out;
    for (TFoundFile& f : FastScanNtfsDirect(*src, report, opts).Found)
        if (f.FoundBy == TFoundBy::DeepSweep) out[f.FullPath] = f;
    return out;
}

TEST(NtfsSweep, RecordChecks) {
    const TNtfsGeometry geo{512, 4096, 1024, 4, 64};
    const Bytes good = Numbered(Named(Ref(5, 5), u"a.txt", false), 41);
    Bytes torn = good;
    torn[1022] ^= 0x55;  // the second sector's end no longer carries the sequence number
    Bytes sizes = good;
    PutLe(sizes, 28, 4096, 4);  // allocated size of another record size
    struct Case {
        const char* what;
        Bytes rec;
        int64_t pos;
        TSweptRecord want;
        uint64_t number;
    };
    const std::vector<Case> cases = {
        {"sound record at its slot", good, kOldMft + 41 * 1024, TSweptRecord::Ok, 41},
        {"same record in another cluster at the same slot", good, kOldMft + 45 * 1024, TSweptRecord::Ok, 41},
        {"torn by a rewritten sector", torn, kOldMft + 41 * 1024, TSweptRecord::Torn, kSweptNoNumber},
        {"number that puts it elsewhere in a cluster", good, kOldMft + 42 * 1024, TSweptRecord::ForeignNumber, 41},
        {"allocated size of another volume", sizes, kOldMft + 41 * 1024, TSweptRecord::BadHeader, kSweptNoNumber},
        {"no signature", Bytes(1024, 0), kOldMft, TSweptRecord::NotRecord, kSweptNoNumber},
    };
    for (const Case& c : cases) {
        Bytes rec = c.rec;
        uint64_t number = 0;
        EXPECT_EQ(CheckSweptRecord(rec, c.pos, geo, number), c.want) << c.what;
        if (c.want == TSweptRecord::Ok || c.want == TSweptRecord::ForeignNumber) {
            EXPECT_EQ(number, c.number) << c.what;
        }
    }
}

// One volume holding every situation: the earlier $MFT's records in free clusters, one of
// them torn, one at a place its number does not fit, one copied twice, a folder chain with
// a link missing, and a record in a cluster the live volume uses.
TEST(NtfsSweep, FindsFilesOfAnEarlierMftWithTheirPaths) {
    test::TestVolume vol;
    vol.Bitmap = Bytes{0xFF, 0x03, 0, 0x01, 0, 0, 0, 0};  // clusters 0-9 (the live $MFT) and 24 in use
    vol.Clusters = 64;
    // The live $MFT's record 23 is a new folder with the number and sequence number the
    // earlier one had: the earlier files must not be listed inside it.
    vol.Records.resize(24);
    vol.Records[23] = test::MakeRecord(Named(Ref(5, 5), u"NewFolder", true));
    Bytes img = vol.Build();
    const std::string body = "resident text of a swept file";
    const std::string big(6000, 'x');
    for (size_t i = 0; i < big.size(); ++i) img[40 * kCluster + i] = static_cast<uint8_t>('a' + i % 23);
    auto slot = [](uint32_t n) { return kOldMft + int64_t{n} * 1024; };
    Put(img, slot(20), Numbered(Named(Ref(5, 5), u"Docs", true), 20));
    Put(img, slot(21), Numbered(Named(Ref(20, 1), u"note.txt", false, {TestData(true, Bytes(body.begin(), body.end()))}), 21));
    Put(img, slot(22), Numbered(Named(Ref(20, 1), u"big.bin", false, {TestData(false, {}, 6000, test::RunEntry(2, 40))}), 22));
    // Docs/Lost (23) is gone; Lost/Deeper (25) and a file in it remain.
    Put(img, slot(26), Numbered(Named(Ref(23, 1), u"Deeper", true), 26));
    Put(img, slot(27), Numbered(Named(Ref(26, 1), u"orphan.txt", false, {TestData(true, Bytes{'o'})}), 27));
    Bytes torn = Numbered(Named(Ref(20, 1), u"torn.txt", false, {TestData(true, Bytes{'t'})}), 28);
    torn[510] ^= 0xFF;
    Put(img, slot(28), torn);
    Put(img, slot(30), Numbered(Named(Ref(20, 1), u"foreign.txt", false, {TestData(true, Bytes{'f'})}), 31));
    Put(img, slot(21 + 8), Numbered(Named(Ref(20, 1), u"note.txt", false, {TestData(true, Bytes(body.begin(), body.end()))}), 21));
    // Cluster 24 is in use: slots 32-35 hold live data, not lost records.
    Put(img, slot(32), Numbered(Named(Ref(20, 1), u"in-use.txt", false, {TestData(true, Bytes{'u'})}), 32));

    const auto found = DeepScan(img);
    std::set<std::string> paths;
    for (const auto& [p, f] : found) paths.insert(p);
    EXPECT_EQ(paths, (std::set<std::string>{"Docs/note.txt", "Docs/big.bin", "$OrphanFiles/Folder 23/Deeper/orphan.txt"}));

    auto ex = MakeExtentExtractor(MakeMemoryByteSource(img, "v.img"),
                                  MakeNtfsExtractor(MakeMemoryByteSource(img, "v.img"), nullptr));
    std::string want;
    for (size_t i = 0; i < big.size(); ++i) want.push_back(static_cast<char>('a' + i % 23));
    for (const auto& [path, content] : std::map<std::string, std::string>{{"Docs/note.txt", body}, {"Docs/big.bin", want}}) {
        ASSERT_TRUE(found.count(path)) << path;
        test::StringSink sink;
        ex->Extract(found.at(path), sink);
        EXPECT_EQ(sink.bytes, content) << path;
    }
    // A record rewritten since the scan is refused, not copied as something else.
    Bytes later = img;
    std::memset(later.data() + slot(21), 0, 1024);
    auto exLater = MakeNtfsExtractor(MakeMemoryByteSource(later, "v.img"), nullptr);
    test::StringSink sink;
    EXPECT_THROW(exLater->Extract(found.at("Docs/note.txt"), sink), std::runtime_error);
}

// Populated, quick-formatted at the same size, then written again: the earlier tree comes
// back with its paths and every byte, and the new files stay listed only as live ones.
TEST(NtfsSweep, QuickFormattedVolumeEndToEnd) {
    test::TempDir dir;
    const std::string imgPath = test::UnpackFixture("ntfs-qformat.img", dir);
    const auto manifest = test::ReadManifest("ntfs-qformat");
    ASSERT_FALSE(manifest.empty());
    const Bytes img = [&] {
        const std::string s = test::ReadFileBytes(imgPath);
        return Bytes(s.begin(), s.end());
    }();
    const auto found = DeepScan(img);
    auto ex = MakeExtentExtractor(MakeMemoryByteSource(img, "q.img"),
                                  MakeNtfsExtractor(MakeMemoryByteSource(img, "q.img"), nullptr));
    for (const auto& e : manifest) {
        const std::string path = e.path.substr(1);
        ASSERT_TRUE(found.count(path)) << e.path;
        EXPECT_EQ(found.at(path).SizeBytes, e.size) << e.path;
        test::StringSink sink;
        ex->Extract(found.at(path), sink);
        const std::string out = dir / "copy";
        test::WriteFileBytes(out, sink.bytes);
        EXPECT_EQ(test::Md5OfFile(out), e.md5) << e.path;
    }
    for (const auto& [path, f] : found) EXPECT_EQ(path.find("new-"), std::string::npos) << path;
}

// Addresses carry what a lost boot sector would have said; anything else is refused.
TEST(NtfsSweep, AddressesRoundTripAndRefuseTheMalformed) {
    TSweptAddress bootless;
    bootless.Pos = 1049600;
    bootless.StreamId = 4;
    bootless.Bootless = true;
    bootless.RecordSize = 1024;
    bootless.ClusterSize = 4096;
    bootless.Origin = 1048576;
    TSweptAddress unknownGeometry = bootless;
    unknownGeometry.StreamId.reset();
    unknownGeometry.ClusterSize = 0;
    unknownGeometry.Origin = 0;
    TSweptAddress plain;
    plain.Pos = 77824;
    for (const TSweptAddress& a : {bootless, unknownGeometry, plain}) {
        const std::string s = MakeSweptAddress(a);
        const auto back = ParseSweptAddress(s);
        ASSERT_TRUE(back) << s;
        EXPECT_EQ(MakeSweptAddress(*back), s);
        EXPECT_EQ(back->Origin, a.Origin) << s;
    }
    EXPECT_EQ(MakeSweptAddress(bootless), "@1049600-128-4/1024/4096/1048576");
    for (const char* bad : {"", "@", "77824", "@12-16-1", "@12-128", "@12/512", "@12/1024/4096", "@12/1024/3000/0",
                            "@12/1024/4096/0/1", "@99999999999999999999", "@12x"})
        EXPECT_FALSE(ParseSweptAddress(bad)) << bad;
}

// The fixture volume with both its boot sectors lost, seen on its own and from inside a
// larger source whose first bytes belong to something else: every file comes back at
// its path and byte-exact, the live ones listed as not deleted.
TEST(NtfsSweep, AVolumeWithoutBootSectorsIsSweptWhole) {
    test::TempDir dir;
    const auto md5 = [&](const std::string& bytes) {
        test::WriteFileBytes(dir / "copy", bytes);
        return test::Md5OfFile(dir / "copy");
    };
    const std::string s = test::ReadFileBytes(test::UnpackFixture("ntfs.img", dir));
    Bytes vol(s.begin(), s.end());
    std::memset(vol.data(), 0, 512);
    std::memset(vol.data() + vol.size() - 512, 0, 512);
    const auto manifest = test::ReadManifest("ntfs");
    ASSERT_FALSE(manifest.empty());
    for (const int64_t before : {int64_t{0}, int64_t{1024 * 1024 + 3 * 512}}) {
        SCOPED_TRACE(before);
        Bytes src(static_cast<size_t>(before), 0xA5);
        src.insert(src.end(), vol.begin(), vol.end());
        TNullReport report;
        TNtfsBootlessGeometry geo;
        const TNtfsSweepResult r = SweepNtfsWithoutBootSector(*MakeMemoryByteSource(src, "lost"), {"*"}, false, report, &geo);
        EXPECT_TRUE(geo.Known);
        EXPECT_EQ(geo.ClusterSize, 4096);
        EXPECT_EQ(geo.Origin, before);
        std::map<std::string, TFoundFile> found;
        for (const TFoundFile& f : r.Found) found["/" + f.FullPath] = f;
        auto ex = MakeNtfsExtractor(MakeMemoryByteSource(src, "lost"), nullptr, true);
        for (const auto& e : manifest) {
            ASSERT_TRUE(found.count(e.path)) << e.path;
            const TFoundFile& f = found.at(e.path);
            EXPECT_TRUE(f.IsDeleted) << e.path;
            EXPECT_EQ(f.SizeBytes, e.size) << e.path;
            test::StringSink sink;
            ex->Extract(f, sink);
            EXPECT_EQ(md5(sink.bytes), e.md5) << e.path;
        }
        ASSERT_TRUE(found.count("/Users/Alice/Desktop/todo.txt"));
        EXPECT_FALSE(found.at("/Users/Alice/Desktop/todo.txt").IsDeleted);
        EXPECT_EQ(found.count("/$MFT"), 0u);
    }

    // With every copy of $MFT record 0 gone too, nothing tells the cluster size: files kept
    // in their records still copy, the others are refused with the reason.
    std::memset(vol.data() + 4 * 4096, 0, 1024);
    std::memset(vol.data() + 0x7FF * 4096, 0, 1024);
    TNullReport report;
    TNtfsBootlessGeometry geo;
    const TNtfsSweepResult r = SweepNtfsWithoutBootSector(*MakeMemoryByteSource(vol, "lost"), {"*"}, false, report, &geo);
    EXPECT_FALSE(geo.Known);
    std::map<std::string, TFoundFile> found;
    for (const TFoundFile& f : r.Found) found[f.FullPath] = f;
    auto ex = MakeNtfsExtractor(MakeMemoryByteSource(vol, "lost"), nullptr, true);
    ASSERT_TRUE(found.count("Users/Bob/Documents/small-note.txt"));
    test::StringSink note;
    ex->Extract(found.at("Users/Bob/Documents/small-note.txt"), note);
    EXPECT_EQ(md5(note.bytes), "34604919d16f377c1f198c18acccd6c4");
    ASSERT_TRUE(found.count("Photos/2019/holiday.jpg"));
    test::StringSink photo;
    try {
        ex->Extract(found.at("Photos/2019/holiday.jpg"), photo);
        ADD_FAILURE() << "copied without a cluster size";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("cluster size could not be worked out"), std::string::npos) << e.what();
    }
}

// Creation times are $STANDARD_INFORMATION's, to the microsecond: for a deleted file as istat prints it, and for a live one
// the sweep of a volume without boot sectors finds as ntfs-3g's ntfs_crtime attribute gives
// it on the mounted fixture (Windows file times, 100 ns since 1601).
TEST(NtfsSweep, CreationTimesAreTheRecordsOwn) {
    struct Case {
        const char* path;
        bool bootless;
        int64_t fileTime;
    };
    const Case cases[] = {
        {"Users/Bob/Documents/report.docx", false, 134413591968878512},  // 2026-12-10 06:53:16.8878512
        {"Users/Bob/Documents/Old Projects/drafts/draft1.txt", false, 134413591969401458},
        {"Users/Alice/Desktop/todo.txt", true, 134413591968456251},
        {"Users/Bob/Documents/notes.txt", true, 134413591968320232},
    };
    test::TempDir dir;
    const std::string s = test::ReadFileBytes(test::UnpackFixture("ntfs.img", dir));
    Bytes vol(s.begin(), s.end());
    TNullReport report;
    std::map<std::string, TFoundFile> scanned, swept;
    for (TFoundFile& f : FastScanNtfsDirect(*MakeMemoryByteSource(vol, "v.img"), report, TReaderOptions{}).Found)
        scanned[f.FullPath] = f;
    std::memset(vol.data(), 0, 512);
    std::memset(vol.data() + vol.size() - 512, 0, 512);
    for (TFoundFile& f : SweepNtfsWithoutBootSector(*MakeMemoryByteSource(vol, "lost"), {"*"}, false, report).Found)
        swept[f.FullPath] = f;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        const auto& found = c.bootless ? swept : scanned;
        ASSERT_TRUE(found.count(c.path));
        const TFoundFile& f = found.at(c.path);
        ASSERT_TRUE(f.HasCreateDate);
        const double seconds = (f.CreateDateUtc - 25569.0) * 86400.0;
        EXPECT_NEAR(seconds, static_cast<double>(c.fileTime - 116444736000000000) / 1e7, 2e-6);
    }
}

} // namespace
} // namespace brivo
