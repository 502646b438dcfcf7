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

class StringSink : public TByteSink {
public:
    void Write(std::span<const uint8_t> bytes) override { data.append(reinterpret_cast<const char*>(bytes.data()), bytes.size()); }
    std::string data;
};

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
        StringSink sink;
        ex->Extract(found.at(path), sink);
        EXPECT_EQ(sink.data, content) << path;
    }
    // A record rewritten since the scan is refused, not copied as something else.
    Bytes later = img;
    std::memset(later.data() + slot(21), 0, 1024);
    auto exLater = MakeNtfsExtractor(MakeMemoryByteSource(later, "v.img"), nullptr);
    StringSink sink;
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
        StringSink sink;
        ex->Extract(found.at(path), sink);
        const std::string out = dir / "copy";
        test::WriteFileBytes(out, sink.data);
        EXPECT_EQ(test::Md5OfFile(out), e.md5) << e.path;
    }
    for (const auto& [path, f] : found) EXPECT_EQ(path.find("new-"), std::string::npos) << path;
}

} // namespace
} // namespace brivo
