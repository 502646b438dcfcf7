// The whole direct scan over hand-made volumes (each showing one on-disk situation), the
// NTFS fixture built with mkntfs + ntfs-3g, and a volume written by Windows XP.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

#include "NtfsTestImage.h"
#include "TestSupport.h"
#include "ntfs/NtfsScan.h"

namespace brivo {
namespace {

using test::Bytes;
using test::PutLe;
using test::Ref;
using test::TestData;
using test::TestRecord;

// Keeps the log lines; asks to stop from the start, or once progress passes stopAt.
class RecordingReport : public TReaderReport {
public:
    void Log(const std::string& msg) override { log.push_back(msg); }
    void DebugLog(const std::string&) override {}
    void Progress(uint64_t position, uint64_t, const std::string&) override {
        if (position >= stopAt) stop = true;
    }
    bool StopRequested() const override { return stop; }
    std::vector<std::string> log;
    bool stop = false;
    uint64_t stopAt = UINT64_MAX;
};

struct ScanRun {
    std::vector<std::string> log;
    TFoundFiles found;
    uint64_t hiddenByMasks = 0, hiddenByCleanup = 0;
    std::string error;
};

enum class Cleanup { On, Off };

ScanRun Scan(TByteSource& src, const TMaskList& masks, Cleanup cleanup = Cleanup::On, bool stopFirst = false) {
    RecordingReport report;
    report.stop = stopFirst;
    TReaderOptions opts;
    opts.Masks = masks;
    opts.Cleanup = cleanup == Cleanup::On;
    ScanRun out;
    try {
        TReaderResult r = FastScanNtfsDirect(src, report, opts);
        out.found = std::move(r.Found);
        out.hiddenByMasks = r.HiddenByMasks;
        out.hiddenByCleanup = r.HiddenByCleanup;
    } catch (const std::exception& e) {
        out.error = e.what();
    }
    out.log = report.log;
    return out;
}

ScanRun Scan(const Bytes& image, const TMaskList& masks, Cleanup cleanup = Cleanup::On, bool stopFirst = false) {
    return Scan(*MakeMemoryByteSource(image, "v.img"), masks, cleanup, stopFirst);
}

ScanRun Scan(const std::string& path, const TMaskList& masks, Cleanup cleanup = Cleanup::On) {
    return Scan(*OpenRawByteSource(path), masks, cleanup);
}

std::map<std::string, const TFoundFile*> ByPath(const TFoundFiles& found) {
    std::map<std::string, const TFoundFile*> m;
    for (const auto& f : found) m[f.FullPath] = &f;
    return m;
}

std::string LastLine(const ScanRun& r) { return r.log.empty() ? "" : r.log.back(); }

TestRecord File(uint16_t flags, uint64_t parentRef, const char16_t* name, std::vector<TestData> data = {{true, Bytes(100, 'x')}},
                uint16_t seq = 1) {
    TestRecord r;
    r.Flags = flags;
    r.Seq = seq;
    r.Names = {{parentRef, name, 1}};
    r.ModTime = 132223104050000000ull;
    r.Data = std::move(data);
    return r;
}

// Users (16, live) / Old (17, deleted folder) / a.txt (18, deleted), and neighbours that
// each meet one rule of the scan.
test::TestVolume SampleVolume() {
    test::TestVolume v;
    v.Records.resize(30);
    auto put = [&](size_t n, const TestRecord& r) { v.Records[n] = test::MakeRecord(r); };
    put(15, File(0, Ref(16, 1), u"x\\Windows\\y.jpg"));  // a POSIX name: "\\" is no separator on disk
    put(16, File(3, Ref(5, 5), u"Users", {}));
    put(17, File(2, Ref(16, 1), u"Old", {}, 2));  // freed: sequence number one higher
    put(18, File(0, Ref(17, 1), u"a.txt"));
    put(19, File(0, Ref(16, 1), u"readme"));
    put(20, File(0, Ref(16, 1), u"notes.txt", {{true, {}}}));
    put(21, File(0, Ref(22, 1), u"b.jpg"));        // its folder's record now holds another folder
    put(22, File(3, Ref(5, 5), u"Reused", {}, 2));
    TestRecord bad = File(0, Ref(16, 1), u"bad.txt");
    bad.BadFixups = true;
    put(24, bad);
    put(25, File(1, Ref(16, 1), u"live.txt"));
    put(26, File(0, Ref(90, 1), u"c.txt"));        // parent record not in the $MFT
    put(27, File(0, Ref(16, 1), u"setup.exe"));
    put(28, File(0, Ref(29, 1), u"x.jpg"));
    put(29, File(3, Ref(5, 5), u"Windows", {}));
    return v;
}

TEST(NtfsScan, ListsDeletedFilesWithPathsAndCounts) {
    ScanRun r = Scan(SampleVolume().Build(), {"*.*"});
    ASSERT_EQ(r.error, "");
    auto m = ByPath(r.found);
    EXPECT_EQ(r.found.size(), 3u);
    EXPECT_EQ(r.hiddenByMasks, 1u);
    EXPECT_EQ(r.hiddenByCleanup, 4u);
    ASSERT_TRUE(m.count("Users/Old/a.txt")) << "a deleted folder still names its files";
    EXPECT_TRUE(m.count("b.jpg")) << "a reused folder record is not this file's folder";
    EXPECT_TRUE(m.count("c.txt"));
    const TFoundFile& a = *m["Users/Old/a.txt"];
    EXPECT_EQ(a.Inode, "18");
    EXPECT_EQ(a.SizeBytes, 100);
    EXPECT_TRUE(a.HasModDate);
    EXPECT_NEAR(a.ModDateUtc, 43831.0001, 1e-9);
    EXPECT_EQ(a.DamageText, "Excellent (resident)");
    EXPECT_EQ(a.DamageScore, 100);
    EXPECT_EQ(a.FileType, "-/rrwxrwxrwx");
    EXPECT_TRUE(a.IsDeleted);
    EXPECT_FALSE(a.IsDir);

    const std::vector<std::string> expected = {
        "Default cleanup filter enabled: hiding zero-byte, system, temp, cache, build/package artifacts. Use a custom "
        "mask to see those files.",
        "Fast Direct NTFS scan: reading $MFT directly; no ils pass.",
        "Fast Direct NTFS geometry: bps=512 cluster=4096 record=1024 mft_records=30 runs=1",
        "NTFS damage analysis enabled: loaded $Bitmap (1 bytes).",
        // 32 slots: the chunk that holds the last records is processed whole.
        "Fast Direct NTFS scan complete: records=32 valid=16 deleted_files=5 dirs=5 mask_rejected=1 noise_rejected=4 bad=1",
    };
    std::vector<std::string> lines;
    for (const auto& l : r.log)
        if (l.rfind("Fast Direct NTFS progress", 0) != 0) lines.push_back(l);
    EXPECT_EQ(lines, expected);
}

TEST(NtfsScan, CustomMasksAndCleanupOffShowWhatTheFilterHides) {
    const Bytes img = SampleVolume().Build();

    ScanRun txt = Scan(img, {"*.txt"});
    auto m = ByPath(txt.found);
    EXPECT_EQ(m.size(), 3u);
    ASSERT_TRUE(m.count("Users/notes.txt")) << "zero-byte file listed under a custom mask";
    EXPECT_EQ(m["Users/notes.txt"]->DamageText, "Empty");
    EXPECT_EQ(m["Users/notes.txt"]->DamageScore, 0);
    EXPECT_TRUE(m.count("Users/Old/a.txt") && m.count("c.txt"));
    EXPECT_EQ(txt.log.front(), "Fast Direct NTFS scan: reading $MFT directly; no ils pass.");
    EXPECT_NE(LastLine(txt).find("mask_rejected=5 noise_rejected=0"), std::string::npos) << LastLine(txt);
    EXPECT_EQ(txt.hiddenByMasks, 5u);
    EXPECT_EQ(txt.hiddenByCleanup, 0u);

    ScanRun bin = Scan(img, {"*.*"}, Cleanup::Off);
    m = ByPath(bin.found);
    EXPECT_TRUE(m.count("Users/notes.txt") && m.count("Users/setup.exe") && m.count("Windows/x.jpg"));
    EXPECT_TRUE(m.count("Users/x\\Windows\\y.jpg"));
    EXPECT_EQ(m.size(), 7u);
    EXPECT_EQ(bin.hiddenByCleanup, 0u);
}

TEST(NtfsScan, StopBeforeThePassLeavesNoResults) {
    ScanRun r = Scan(SampleVolume().Build(), {"*.*"}, Cleanup::On, true);
    EXPECT_EQ(r.error, "");
    EXPECT_TRUE(r.found.empty());
    EXPECT_EQ(LastLine(r),
              "Fast Direct NTFS scan stopped by user: records=0 valid=0 deleted_files=0 dirs=0 mask_rejected=0 "
              "noise_rejected=0 bad=0");
}

TEST(NtfsScan, StopDuringTheRecordPassKeepsWhatWasRead) {
    test::TestVolume v;
    v.Records.resize(8300);
    v.Records[100] = test::MakeRecord(File(0, Ref(5, 5), u"early.txt"));
    v.Records[8250] = test::MakeRecord(File(0, Ref(5, 5), u"late.txt"));
    v.MftRunList = test::RunEntry(2075, 4, 2, 1);
    v.Clusters = 2100;
    RecordingReport report;
    report.stopAt = 8192;  // the progress after the first chunk of records
    TReaderOptions opts;
    opts.Masks = {"*.txt"};
    const TReaderResult r = FastScanNtfsDirect(*MakeMemoryByteSource(v.Build()), report, opts);
    ASSERT_EQ(r.Found.size(), 1u) << "the file read before the stop is kept, the one after it never read";
    EXPECT_EQ(r.Found[0].FullPath, "early.txt");
    EXPECT_EQ(r.Found[0].Inode, "100");
    EXPECT_EQ(report.log.back(),
              "Fast Direct NTFS scan stopped by user: records=8192 valid=4 deleted_files=1 dirs=1 mask_rejected=0 "
              "noise_rejected=0 bad=0");
}

TEST(NtfsScan, ListsNamedStreamsOfDeletedFilesAsTheirOwnResults) {
    auto stream = [](const char16_t* name, uint16_t id, Bytes value) {
        TestData d(true, std::move(value));
        d.Name = name;
        d.Id = id;
        return d;
    };
    test::TestVolume v;
    v.Records.resize(20);
    v.Records[16] = test::MakeRecord(File(3, Ref(5, 5), u"Docs", {}));
    v.Records[17] = test::MakeRecord(File(0, Ref(16, 1), u"a.txt",
                                          {{true, Bytes(100, 'x')}, stream(u"meta", 5, Bytes(40, 'm')),
                                           stream(u"Zone.Identifier", 6, Bytes(30, 'z')), stream(u"nil", 7, {})}));
    v.Records[18] = test::MakeRecord(File(1, Ref(16, 1), u"live.txt", {{true, Bytes(9, 'l')}, stream(u"meta", 3, Bytes(5, 'm'))}));
    v.Records[19] = test::MakeRecord(File(0, Ref(16, 1), u"b.log", {{true, Bytes(9, 'b')}, stream(u"s", 2, Bytes(5, 's'))}));

    struct Case {
        const char* what;
        TMaskList masks;
        Cleanup cleanup;
        std::map<std::string, std::string> want;  // path -> address
    } cases[] = {
        {"cleanup hides the download mark and empty streams", {"*.*"}, Cleanup::On,
         {{"Docs/a.txt", "17"}, {"Docs/a.txt:meta", "17-128-5"}, {"Docs/b.log", "19"}, {"Docs/b.log:s", "19-128-2"}}},
        {"without the cleanup filter every stream is listed", {"*"}, Cleanup::Off,
         {{"Docs/a.txt", "17"},
          {"Docs/a.txt:meta", "17-128-5"},
          {"Docs/a.txt:Zone.Identifier", "17-128-6"},
          {"Docs/a.txt:nil", "17-128-7"},
          {"Docs/b.log", "19"},
          {"Docs/b.log:s", "19-128-2"}}},
        {"streams pass the masks with their file (a custom mask: no cleanup)", {"*.txt"}, Cleanup::On,
         {{"Docs/a.txt", "17"},
          {"Docs/a.txt:meta", "17-128-5"},
          {"Docs/a.txt:Zone.Identifier", "17-128-6"},
          {"Docs/a.txt:nil", "17-128-7"}}},
    };
    for (const auto& c : cases) {
        const ScanRun r = Scan(v.Build(), c.masks, c.cleanup);
        ASSERT_EQ(r.error, "") << c.what;
        std::map<std::string, std::string> got;
        for (const auto& f : r.found) got[f.FullPath] = f.Inode;
        EXPECT_EQ(got, c.want) << c.what;
    }
    const ScanRun r = Scan(v.Build(), {"*"}, Cleanup::Off);
    const auto m = ByPath(r.found);
    EXPECT_EQ(m.at("Docs/a.txt:meta")->SizeBytes, 40);
    EXPECT_EQ(m.at("Docs/a.txt:meta")->DamageText, "Excellent (resident)");
    EXPECT_TRUE(m.at("Docs/a.txt:meta")->HasModDate) << "a stream carries its file's time";
}

TEST(NtfsScan, ReadsRunsOnDespiteSparseAndUnreadableRuns) {
    // $MFT runs: records 0-7 at cluster 4, 8-15 sparse, 16-23 at cluster 8, 24-27 on a
    // cluster past the end of the source, 28-31 at cluster 10 (stored in slots 24-27).
    test::TestVolume v;
    v.Records.resize(28);
    v.Records[10] = test::MakeRecord(File(0, Ref(5, 5), u"in-sparse-run.txt"));
    v.Records[17] = test::MakeRecord(File(0, Ref(5, 5), u"seventeen.txt"));
    v.Records[25] = test::MakeRecord(File(0, Ref(5, 5), u"twenty-nine.txt"));
    v.MftRunList = test::Concat({test::RunEntry(2, 4, 1, 1), Bytes{0x01, 0x02}, test::RunEntry(2, 4, 1, 1),
                                 test::RunEntry(1, 5000, 1, 2), test::RunEntry(1, 10 - 5008, 1, 2)});
    v.MftSize = 32 * 1024;
    ScanRun r = Scan(v.Build(), {"*.*"});
    ASSERT_EQ(r.error, "");
    auto m = ByPath(r.found);
    EXPECT_EQ(m.size(), 2u);
    ASSERT_TRUE(m.count("seventeen.txt") && m.count("twenty-nine.txt"));
    EXPECT_EQ(m["seventeen.txt"]->Inode, "17");
    EXPECT_EQ(m["twenty-nine.txt"]->Inode, "29");
    EXPECT_NE(LastLine(r).find("records=20 "), std::string::npos) << LastLine(r);
    EXPECT_NE(LastLine(r).find(" bad=1"), std::string::npos) << LastLine(r);
}

TEST(NtfsScan, FatalSetupFailuresEndTheScanWithTheUsersMessage) {
    test::TestVolume good;

    Bytes notNtfs = good.Build();
    std::memcpy(notNtfs.data() + 3, "MSDOS5.0", 8);
    Bytes badGeometry = good.Build();
    badGeometry[64] = 0;
    Bytes badRecord0 = good.Build();
    PutLe(badRecord0, 4 * 4096 + 4, 2000, 2);  // update sequence array past the record
    test::TestVolume noRuns;
    noRuns.MftRunList = Bytes{};
    Bytes huge = good.Build();
    PutLe(huge, 48, uint64_t{1} << 40, 8);  // $MFT far past the end of the source

    struct Case {
        const char* what;
        Bytes image;
        std::string message;
    } cases[] = {
        {"not NTFS", notNtfs, "Fast Direct NTFS scan failed: selected source does not look like NTFS."},
        {"short source", Bytes(100, 0), "Fast Direct NTFS scan failed: cannot read NTFS boot sector."},
        {"record size 0", badGeometry,
         "Fast Direct NTFS scan failed: invalid NTFS geometry bps=512 cluster=4096 record=0 mft_lcn=4"},
        {"record 0 fixups", badRecord0, "Fast Direct NTFS scan failed: cannot read/repair $MFT record 0."},
        {"record 0 past the end", huge, "Fast Direct NTFS scan failed: cannot read/repair $MFT record 0."},
        {"no runlist", noRuns.Build(), "Fast Direct NTFS scan failed: cannot parse $MFT DATA runlist."},
    };
    for (const auto& c : cases) {
        ScanRun r = Scan(c.image, {"*.*"});
        EXPECT_EQ(r.error, c.message) << c.what;
        EXPECT_TRUE(r.found.empty()) << c.what;
    }
}

TEST(NtfsScan, ConditionFollowsTheClusterBitmap) {
    test::TestVolume v;
    v.Records.resize(20);
    v.Records[16] = test::MakeRecord(File(0, Ref(5, 5), u"reused.bin", {{false, {}, 8192, test::RunEntry(2, 40, 1, 1)}}));
    v.Records[17] = test::MakeRecord(File(0, Ref(5, 5), u"free.bin", {{false, {}, 8192, test::RunEntry(2, 44, 1, 1)}}));
    // $Bitmap as a non-resident stream at cluster 60: clusters 40 and 41 in use.
    TestRecord bm = File(1, Ref(5, 5), u"$Bitmap", {{false, {}, 8, test::RunEntry(1, 60, 1, 1)}});
    v.Records[6] = test::MakeRecord(bm);
    Bytes img = v.Build();
    img[60 * 4096 + 5] = 0x03;
    ScanRun r = Scan(img, {"*.bin"});
    auto m = ByPath(r.found);
    ASSERT_EQ(m.size(), 2u);
    EXPECT_EQ(m["reused.bin"]->DamageText, "Overwritten");
    EXPECT_EQ(m["free.bin"]->DamageText, "Excellent");
    EXPECT_NE(std::find(r.log.begin(), r.log.end(), "NTFS damage analysis enabled: loaded $Bitmap (8 bytes)."), r.log.end());

    // A $Bitmap claiming more than 256 MiB is not loaded: conditions stay unknown.
    v.Records[6] = test::MakeRecord(File(1, Ref(5, 5), u"$Bitmap", {{false, {}, 0x10000001, test::RunEntry(1, 60, 1, 1)}}));
    r = Scan(v.Build(), {"*.bin"});
    for (const auto& f : r.found) {
        EXPECT_EQ(f.DamageText, "Unknown");
        EXPECT_EQ(f.DamageScore, -1);
    }
    EXPECT_NE(std::find(r.log.begin(), r.log.end(),
                        "NTFS damage analysis unavailable: could not load $Bitmap; file condition will be Unknown."),
              r.log.end());
}

// ---- real volumes

std::string Strip(const std::string& p) { return p.substr(p.find_first_not_of('/')); }

// Deleted files and streams the engine lists (`fls -r -d -p`), outside $OrphanFiles:
// path -> address.
std::map<std::string, std::string> EngineDeletedFiles(const std::string& img) {
    const test::ProcessResult fls = test::RunProcess({"fls", "-r", "-d", "-p", img});
    EXPECT_EQ(fls.exitCode, 0) << fls.err;
    std::map<std::string, std::string> out;
    std::istringstream lines(fls.out);
    std::string line;
    while (std::getline(lines, line)) {
        // "-/r * 71-128-4:	Docs/tagged.txt:meta"
        const size_t tab = line.find(":\t");
        if (line.size() < 4 || line[2] != 'r' || tab == std::string::npos) continue;
        const std::string path = line.substr(tab + 2);
        if (path.rfind("$OrphanFiles/", 0) == 0) continue;
        out[path] = line.substr(line.rfind(' ', tab) + 1, tab - line.rfind(' ', tab) - 1);
    }
    return out;
}

// The engine's address of a result: a plain record number stands for its unnamed $DATA.
bool SameAddress(const std::string& ours, const std::string& engine) {
    return ours == engine || (ours.find('-') == std::string::npos && engine.rfind(ours + "-128-", 0) == 0);
}

TEST(NtfsScanFixture, ListsWhatTheEngineListsWithTheManifestsContent) {
    for (const char* name : {"ntfs", "ntfs-4k"}) {
        test::TempDir dir;
        const std::string img = test::UnpackFixture(std::string(name) + ".img", dir);
        const auto manifest = test::ReadManifest(name);
        ASSERT_FALSE(manifest.empty()) << name;

        // With the cleanup filter off (Recycle Bin kind) and a mask for every name, the
        // scan lists what the engine lists: every deleted file and named stream.
        ScanRun all = Scan(img, {"*"}, Cleanup::Off);
        ASSERT_EQ(all.error, "") << name;
        std::map<std::string, std::string> ours;
        for (const auto& f : all.found) ours[f.FullPath] = f.Inode;
        const auto engine = EngineDeletedFiles(img);
        EXPECT_EQ(ours.size(), engine.size()) << name;
        for (const auto& [path, addr] : engine) {
            ASSERT_TRUE(ours.count(path)) << name << ": " << path;
            EXPECT_TRUE(SameAddress(ours[path], addr)) << name << ": " << path << " " << ours[path] << " " << addr;
        }
        auto m = ByPath(all.found);
        for (const auto& e : manifest) {
            const std::string p = Strip(e.path);
            ASSERT_TRUE(m.count(p)) << p;
            EXPECT_EQ(m[p]->SizeBytes, e.size) << p;
            EXPECT_TRUE(m[p]->HasModDate) << p;
            EXPECT_NE(m[p]->DamageScore, -1) << p;
            // Recovery reads the file through icat by the listed Inode.
            test::ProcessResult cat = test::RunProcess({"icat", "-R", img, m[p]->Inode});
            std::string out = dir / "out.bin";
            test::WriteFileBytes(out, cat.out);
            EXPECT_EQ(test::Md5OfFile(out), e.md5) << p;
        }
        EXPECT_EQ(all.found.size(), manifest.size() + 1) << name << ": the manifest's files and one named stream";
    }
}

TEST(NtfsScanFixture, DefaultFilterAndMasksOnTheNtfsFixture) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("ntfs.img", dir);
    const auto manifest = test::ReadManifest("ntfs");
    // The default cleanup filter hides the zero-byte file and the "$" names, and "*.*"
    // needs a dot.
    ScanRun def = Scan(img, {"*.*"});
    auto d = ByPath(def.found);
    for (const auto& e : manifest) {
        const std::string p = Strip(e.path);
        const std::string name = p.substr(p.rfind('/') + 1);
        const bool hidden = e.size == 0 || name[0] == '$' || name.find('.') == std::string::npos;
        EXPECT_EQ(d.count(p), hidden ? 0u : 1u) << p;
    }
    EXPECT_EQ(d.count("Users/Alice/file.txt:secret"), 1u);
    ScanRun txt = Scan(img, {"*.txt"});
    EXPECT_EQ(ByPath(txt.found).count("Users/Bob/empty.txt"), 1u);
}

TEST(NtfsScanFixture, ReadsAVolumeWrittenByWindows) {
    BRIVO_REQUIRE_TESTDATA(gz, "8-jpeg-search.dd.gz");
    test::TempDir dir;
    test::ProcessResult unz = test::RunProcess({"gzip", "-dc", gz});
    ASSERT_EQ(unz.exitCode, 0) << unz.err;
    test::WriteFileBytes(dir / "8.dd", unz.out);

    ScanRun r = Scan(dir / "8.dd", {"*.*"});
    ASSERT_EQ(r.error, "");
    auto m = ByPath(r.found);
    ASSERT_EQ(r.found.size(), 2u);
    struct Want {
        const char* path;
        const char* inode;
        int64_t size;
        const char* md5;
    } want[] = {{"del1/file6.jpg", "32", 175630, "afd55222024a4e22f7f5a3a665320763"},
                {"del2/file7.hmm", "31", 326859, "0c452c5800fcfa7c66027ae89c4f068a"}};
    for (const auto& w : want) {
        ASSERT_TRUE(m.count(w.path)) << w.path;
        EXPECT_EQ(m[w.path]->Inode, w.inode);
        EXPECT_EQ(m[w.path]->SizeBytes, w.size);
        test::ProcessResult cat = test::RunProcess({"icat", "-R", dir / "8.dd", w.inode});
        test::WriteFileBytes(dir / "out.bin", cat.out);
        EXPECT_EQ(test::Md5OfFile(dir / "out.bin"), w.md5);
    }
}

} // namespace
} // namespace brivo
