// The deep NTFS scan's search of free space for records of an earlier $MFT: a volume made
// again with mkntfs -Q over a populated one, a real record bent into each way a candidate
// can fail, and folder chains with a link missing.
#include <gtest/gtest.h>

#include <cstring>
#include <map>

#include "TestSupport.h"
#include "core/ByteReaders.h"
#include "ntfs/NtfsExtract.h"
#include "ntfs/NtfsRecordSweep.h"
#include "ntfs/NtfsScan.h"

namespace brivo {
namespace {

class StringSink : public TByteSink {
public:
    void Write(std::span<const uint8_t> bytes) override { data.append(reinterpret_cast<const char*>(bytes.data()), bytes.size()); }
    std::string data;
};

TReaderResult ScanFixture(const std::string& img, bool deep) {
    TNullReport report;
    TReaderOptions opts;
    opts.Deep = deep;
    return FastScanNtfsDirect(*OpenRawByteSource(img), report, opts);
}

const TFoundFile* ByName(const TFoundFiles& found, const std::string& name) {
    for (const auto& f : found)
        if (f.FullPath.size() >= name.size() && f.FullPath.compare(f.FullPath.size() - name.size(), name.size(), name) == 0)
            return &f;
    return nullptr;
}

TEST(NtfsRecordSweep, QuickFormattedVolumeGivesBackItsFilesWithPathsAndBytes) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("ntfs-qformat.img", dir);
    EXPECT_TRUE(ScanFixture(img, false).Found.empty()) << "the new $MFT knows nothing of the old files";

    const TReaderResult deep = ScanFixture(img, true);
    auto extractor = MakeNtfsExtractor(OpenRawByteSource(img), nullptr);
    int exact = 0;
    for (const auto& e : test::ReadManifest("ntfs-qformat")) {
        const std::string name = e.path.substr(e.path.rfind('/'));
        const TFoundFile* f = ByName(deep.Found, name);
        ASSERT_TRUE(f) << e.path;
        // /Early's own record lay where the new $MFT now is.
        if (e.path.rfind("/Early/", 0) == 0)
            EXPECT_EQ(f->FullPath.rfind("$OrphanFiles/Folder ", 0), 0u) << f->FullPath;
        else
            EXPECT_EQ(f->FullPath, e.path.substr(1));
        EXPECT_EQ(f->SizeBytes, e.size) << e.path;
        EXPECT_EQ(f->FoundBy, TFoundBy::DeepSweep) << e.path;
        EXPECT_TRUE(f->HasModDate) << e.path;
        // A file the new ones were written over says so, and only a file the bitmap
        // shows untouched must come back byte for byte.
        StringSink sink;
        extractor->Extract(*f, sink);
        EXPECT_EQ(static_cast<long long>(sink.data.size()), e.size) << e.path;
        if (f->DamageText.rfind("Excellent", 0) != 0) continue;
        test::WriteFileBytes(dir / "out.bin", sink.data);
        EXPECT_EQ(test::Md5OfFile(dir / "out.bin"), e.md5) << e.path;
        ++exact;
    }
    EXPECT_GE(exact, 5);
}

// A real record from the fixture, bent into each way a candidate can fail.
TEST(NtfsRecordSweep, CandidateRecordChecks) {
    test::TempDir dir;
    const std::string img = test::ReadFileBytes(test::UnpackFixture("ntfs-qformat.img", dir));
    const size_t at = [&] {
        for (size_t off = 0; off + 1024 <= img.size(); off += 1024) {
            std::vector<uint8_t> rec(img.begin() + off, img.begin() + off + 1024);
            if (CheckSweptRecord(rec) == TSweptRecordCheck::Record && ReadLe32(rec, 44) >= 64) return off;
        }
        return std::string::npos;
    }();
    ASSERT_NE(at, std::string::npos);
    const std::vector<uint8_t> good(img.begin() + at, img.begin() + at + 1024);
    using Bend = void (*)(std::vector<uint8_t>&);
    const std::vector<std::tuple<const char*, Bend, TSweptRecordCheck>> cases = {
        {"as found", [](std::vector<uint8_t>&) {}, TSweptRecordCheck::Record},
        {"torn by a sector", [](std::vector<uint8_t>& r) { r[1022] ^= 0xFF; }, TSweptRecordCheck::Torn},
        {"bad signature", [](std::vector<uint8_t>& r) { std::memcpy(r.data(), "BAAD", 4); }, TSweptRecordCheck::NotRecord},
        {"allocated size not the record's", [](std::vector<uint8_t>& r) { r[28] = 0; r[29] = 8; }, TSweptRecordCheck::NotRecord},
        {"bytes in use past the record", [](std::vector<uint8_t>& r) { r[24] = 0; r[25] = 8; }, TSweptRecordCheck::NotRecord},
        {"first attribute inside the header", [](std::vector<uint8_t>& r) { r[20] = 16; r[21] = 0; }, TSweptRecordCheck::NotRecord},
        {"extension of another record", [](std::vector<uint8_t>& r) { r[32] = 70; }, TSweptRecordCheck::Extension},
        {"no number of its own", [](std::vector<uint8_t>& r) { r[4] = 42; r[5] = 0; }, TSweptRecordCheck::Unnumbered},
    };
    for (const auto& [what, bend, want] : cases) {
        std::vector<uint8_t> rec = good;
        bend(rec);
        EXPECT_EQ(CheckSweptRecord(rec), want) << what;
    }
    std::vector<uint8_t> shortRec(good.begin(), good.begin() + 100);
    EXPECT_EQ(CheckSweptRecord(shortRec), TSweptRecordCheck::NotRecord);
}

TEST(NtfsRecordSweep, FolderChainsAcrossSweptAndLiveRecords) {
    TNtfsNodeMap live, swept;
    live.Add(5, MakeMftReference(5, 5), 5, ".", true, true);
    live.Add(40, MakeMftReference(5, 5), 3, "Live", true, true);
    swept.Add(100, MakeMftReference(5, 5), 1, "Old", true, true);
    swept.Add(101, MakeMftReference(100, 1), 2, "Inner", true, true);
    swept.Add(103, MakeMftReference(102, 7), 1, "Below gap", true, true);  // 102 is gone
    swept.Add(104, MakeMftReference(40, 3), 1, "In live", true, true);
    swept.Add(110, MakeMftReference(111, 1), 1, "Loop A", true, true);
    swept.Add(111, MakeMftReference(110, 1), 1, "Loop B", true, true);
    const std::vector<std::pair<uint64_t, std::string>> cases = {
        {MakeMftReference(5, 5), ""},
        {MakeMftReference(101, 2), "Old/Inner"},
        {MakeMftReference(103, 1), "$OrphanFiles/Folder 102/Below gap"},
        {MakeMftReference(104, 1), "Live/In live"},
        {MakeMftReference(101, 9), "$OrphanFiles/Folder 101"},  // reused since: not that folder
        {MakeMftReference(110, 1), "$OrphanFiles/Folder 110/Loop B/Loop A"},  // a loop ends where it closes
    };
    for (const auto& [ref, want] : cases) EXPECT_EQ(SweptFolderPath(ref, swept, live), want) << MftRecordNumber(ref);
}

TEST(NtfsRecordSweep, SweptAddresses) {
    uint64_t off = 0;
    EXPECT_TRUE(ParseSweptAddress(SweptAddress(86, 104448), off));
    EXPECT_EQ(off, 104448u);
    for (const char* bad : {"86", "@1", "86@", "8x@1", "86@1x", "86-128-2", "1@99999999999999999999"})
        EXPECT_FALSE(ParseSweptAddress(bad, off)) << bad;
}

} // namespace
} // namespace brivo
