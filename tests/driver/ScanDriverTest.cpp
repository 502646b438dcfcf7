#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

#include "DriverTest.h"
#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/ScanLog.h"
#include "driver/ScanDriver.h"
#include "engine/EngineFolder.h"
#include "filters/ScopeFilter.h"

namespace brivo {
namespace {

using Events = std::vector<std::string>;

// A 512-byte boot sector whose OEM name says NTFS: enough to choose the NTFS route.
std::string WriteNtfsBootSector(const test::TempDir& dir) {
    std::string sector(512, '\0');
    sector.replace(3, 8, "NTFS    ");
    const std::string path = dir / "ntfs-boot.img";
    test::WriteFileBytes(path, sector);
    return path;
}

TFoundFile Result(const std::string& inode, const std::string& path) {
    TFoundFile f;
    f.Inode = inode;
    f.FullPath = path;
    f.SizeBytes = 10;
    return f;
}

TScanChoice ImageChoice(const std::string& path) {
    TScanChoice c;
    c.Where = TScanWhere::swDiskImage;
    c.ImagePath = path;
    c.WhereText = "Disk Image";
    c.WhatText = "All/Custom Formats";
    return c;
}

struct DriverFixture : test::DriverTest {

    // Pumps the host's queue until the driver's idle step has run.
    void RunToIdle(TScanDriver& d) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (d.Busy() && std::chrono::steady_clock::now() < deadline) {
            if (host.Drain() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        host.Drain();
        ASSERT_FALSE(d.Busy()) << "scan did not finish";
    }
};

TScanRoutes FakeNtfs(std::function<TReaderResult(TReaderReport&)> body) {
    TScanRoutes r = TScanRoutes::Default();
    r.Direct[TScanRoute::Ntfs] = [body](TByteSource&, TReaderReport& report, const TReaderOptions&) { return body(report); };
    return r;
}

TEST_F(DriverFixture, DirectRouteRunsStepsInOrderAndPopulatesOnce) {
    TScanDriver d(st, engine, host, FakeNtfs([](TReaderReport& report) {
                      report.Log("reader line");
                      TReaderResult r;
                      r.Found = {Result("40", "a.txt"), Result("41", "Docs/b.txt")};
                      r.HiddenByMasks = 3;
                      r.HiddenByCleanup = 4;
                      return r;
                  }));
    const std::string img = WriteNtfsBootSector(dir);
    d.tbFastScanClick(ImageChoice(img));
    RunToIdle(d);

    EXPECT_EQ(d.LastRoute(), TScanRoute::Ntfs);
    EXPECT_EQ(st.FLastSrcForFls, img);
    EXPECT_EQ(st.FLastFsSwitch, " -f ntfs");
    EXPECT_EQ(st.FLastWhereMode, TScanWhere::swDiskImage);
    EXPECT_EQ(st.FFound.size(), 2u);
    EXPECT_EQ(st.FLastHiddenByMasks, 3u);
    EXPECT_EQ(st.FLastHiddenByCleanup, 4u);
    EXPECT_EQ(st.FLastVolume, 0u);
    EXPECT_EQ(st.FLastSectorOffset, 0u);
    EXPECT_EQ(st.FLastImageType, "");
    const Events want = {
        "clear-results: ",
        "busy: 1",
        "status: Fast scan... detecting file system...",
        "progress: 0",
        "status: Fast scan starting...",
        "memo-clear: ",
        "memo: Fast scan...",
        "memo: Debug log file: " + host.debugLogPath,
        "memo: Where: Disk Image | What: All/Custom Formats",
        "memo: reader line",
        "memo: Fast scope filter: whole disk image, kept 2 entries.",
        "memo: Fast NTFS records after scope filtering: 2",
        "populate: ",
        "busy: 0",
    };
    EXPECT_EQ(host.events, want);
    // No engine command ran on a direct route.
    for (const auto& m : host.MemoMessages()) EXPECT_NE(m.rfind("> ", 0), 0u) << m;
    // The debug log was restarted with a byte-order mark before "Fast scan...".
    const std::string log = test::ReadFileBytes(host.debugLogPath);
    ASSERT_GE(log.size(), 3u + 8 + 16);
    EXPECT_EQ(log.substr(0, 3), "\xEF\xBB\xBF");
    EXPECT_EQ(log.substr(3 + 8, 16), "  Fast scan...\r\n");
}

TEST_F(DriverFixture, RefusedSourceWarnsAndLeavesScanStateAlone) {
    st.FLastSrcForFls = "/earlier.img";
    st.FFound = {Result("1", "old.txt")};
    TScanDriver d(st, engine, host);
    d.tbFastScanClick(ImageChoice(dir / "missing.img"));
    EXPECT_FALSE(d.Busy());
    EXPECT_EQ(host.events, (Events{"clear-results: ", "warning: Please select an existing disk image file."}));
    EXPECT_TRUE(st.FFound.empty());
    EXPECT_EQ(st.FLastSrcForFls, "/earlier.img");
}

TEST_F(DriverFixture, MissingEngineFolderOnlyWarns) {
    st.FFound = {Result("1", "kept.txt")};
    TEngineContext noEngine;
    noEngine.FToolsDir = dir / "gone";
    TScanDriver d(st, noEngine, host);
    d.tbFastScanClick(ImageChoice(WriteNtfsBootSector(dir)));
    EXPECT_EQ(host.events, (Events{"warning: Missing required files."}));
    EXPECT_EQ(st.FFound.size(), 1u);
}

TEST_F(DriverFixture, ErrorInsideWorkerIsLoggedShownThenIdle) {
    TScanDriver d(st, engine, host, FakeNtfs([](TReaderReport&) -> TReaderResult {
                      throw std::runtime_error("Cannot read boot sector.\nat record 0");
                  }));
    d.tbFastScanClick(ImageChoice(WriteNtfsBootSector(dir)));
    RunToIdle(d);
    const Events tail(host.events.end() - 4, host.events.end());
    // The status ends on the error's own text, not on the step that was running.
    EXPECT_EQ(tail, (Events{"memo: ERROR: Cannot read boot sector.\nat record 0", "status: Cannot read boot sector.",
                            "error: Cannot read boot sector.\nat record 0", "busy: 0"}));
    EXPECT_EQ(host.status, "Cannot read boot sector.");
}

TEST_F(DriverFixture, StopEndsADirectScanAndKeepsWhatItFound) {
    TScanDriver d(st, engine, host, FakeNtfs([](TReaderReport& report) {
                      report.Progress(5, 10, "Scanning MFT: 5 / 10 records...");
                      while (!report.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                      TReaderResult r;
                      r.Found = {Result("7", "partial.txt")};
                      return r;
                  }));
    d.tbFastScanClick(ImageChoice(WriteNtfsBootSector(dir)));
    ASSERT_TRUE(d.Busy());
    d.tbStopClick();
    EXPECT_EQ(host.status, "Stop requested...");
    EXPECT_TRUE(d.Busy());  // the scan's own idle step ends busy, not Stop
    RunToIdle(d);
    EXPECT_EQ(st.FFound.size(), 1u);
    const auto memo = host.MemoMessages();
    EXPECT_NE(std::find(memo.begin(), memo.end(), "Stop requested."), memo.end());
    EXPECT_EQ(host.events.back(), "busy: 0");
    // The reader's step came with the time the scan had run; the end says it stopped.
    const auto statuses = host.EventsOf("status");
    EXPECT_NE(std::find(statuses.begin(), statuses.end(), "Scanning MFT: 5 / 10 records... (0:00 elapsed)"), statuses.end());
    EXPECT_EQ(host.status, "Scan stopped. Found entries: 1");
}

TEST_F(DriverFixture, ClosingDuringAScanStopsAndJoinsTheWorker) {
    std::atomic<bool> finished{false};
    {
        TScanDriver d(st, engine, host, FakeNtfs([&](TReaderReport& report) {
                          while (!report.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                          finished = true;
                          return TReaderResult{};
                      }));
        d.tbFastScanClick(ImageChoice(WriteNtfsBootSector(dir)));
    }
    EXPECT_TRUE(finished);
}

// The routes with the exFAT reader taken out: exFAT then goes to the engine, as every file
// system the program does not read itself does.
TScanRoutes EngineReadsExfat() {
    TScanRoutes r = TScanRoutes::Default();
    r.Direct.erase(TScanRoute::ExFat);
    return r;
}

// The engine route on a file system without a direct reader.
TEST_F(DriverFixture, FlsRouteListsDeletedFilesOfAnExfatImage) {
    const std::string img = test::UnpackFixture("exfat.img", dir);
    TScanDriver d(st, engine, host, EngineReadsExfat());
    d.tbFastScanClick(ImageChoice(img));
    RunToIdle(d);
    EXPECT_EQ(d.LastRoute(), TScanRoute::Fls);
    EXPECT_EQ(st.FLastFsSwitch, " -f exfat");
    const auto memo = host.MemoMessages();
    ASSERT_GE(memo.size(), 6u);
    EXPECT_EQ(memo[3], "Fallback to fls for non-NTFS scan path.");
    EXPECT_EQ(memo[4].rfind("> \"", 0), 0u);
    EXPECT_NE(memo[4].find(" -f exfat -r -p -m / -d \"" + img + "\""), std::string::npos);
    EXPECT_EQ(memo[5], "fls completed.");
    EXPECT_EQ(host.events.back(), "busy: 0");
    EXPECT_TRUE(host.EventsOf("error").empty());
}

TEST_F(DriverFixture, FolderResolutionFailureEndsTheCommandWithoutAWorker) {
    TScanDriver d(st, engine, host, EngineReadsExfat());
    TScanSource src{test::UnpackFixture("exfat.img", dir), "/no-such-folder/x", TScanWhere::swFolder};
    d.ScanSource(src, ImageChoice(""));
    EXPECT_FALSE(d.Busy());
    const auto errors = host.EventsOf("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_EQ(errors[0], "Cannot resolve folder path segment \"no-such-folder\" under \"/no-such-folder/x\".");
    EXPECT_EQ(host.MemoMessages().back(), "ERROR: " + errors[0]);
    EXPECT_EQ(host.events.back(), "error: " + errors[0]);
}

// A malformed mask is only met while the fls listing is parsed on the UI thread; it must
// end the scan like any other error, not escape from the queued step.
TEST_F(DriverFixture, MalformedMaskEndsAnFlsScanWithAnError) {
    TScanDriver d(st, engine, host, EngineReadsExfat());
    TScanChoice c = ImageChoice(test::UnpackFixture("exfat.img", dir));
    c.MaskTexts[0] = "[abc";
    d.tbFastScanClick(c);
    RunToIdle(d);
    const auto errors = host.EventsOf("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("[abc"), std::string::npos) << errors[0];
    EXPECT_EQ(host.events.back(), "busy: 0");
}

// An fls that cannot read its source must not end as "0 files found".
TEST_F(DriverFixture, FlsFailureIsAnErrorNotAnEmptyResult) {
    test::TempDir tmp;
    const std::string junk = tmp / "junk.img";
    test::WriteFileBytes(junk, std::string(64 * 1024, '\x5a'));
    for (const std::string& src : {junk}) {
        test::RecordingHost h;
        h.debugLogPath = dir / "d2.log";
        TScanState s;
        TScanDriver d(s, engine, h);
        d.tbFastScanClick(ImageChoice(src));
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (d.Busy() && std::chrono::steady_clock::now() < deadline)
            if (h.Drain() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        const auto errors = h.EventsOf("error");
        ASSERT_EQ(errors.size(), 1u) << src;
        // Our words; the engine's guess about what it cannot name stays in the log.
        EXPECT_EQ(errors[0].rfind("No known file system was found on " + src + ": it is not a disk image", 0), 0u)
            << errors[0];
        EXPECT_EQ(errors[0].find("\nEngine: "), std::string::npos) << errors[0];
        EXPECT_TRUE(h.EventsOf("populate").empty()) << src;
        EXPECT_EQ(h.events.back(), "busy: 0");
    }
}

// Scans one volume of a partitioned source to the end; the result rows as
// "path|size|inode" lines, sorted, or the error text.
struct VolumeScan {
    std::vector<std::string> rows;
    std::string error;
    TScanRoute route = TScanRoute::Fls;
    TScanState st;
};

void ScanVolume(TEngineContext& engine, const std::string& dir, const std::string& src, uint32_t volume, VolumeScan& out) {
    test::RecordingHost h;
    h.debugLogPath = dir + "/vol.log";
    TScanDriver d(out.st, engine, h);
    TScanChoice c = ImageChoice(src);
    c.Volume = volume;
    d.tbFastScanClick(c);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (d.Busy() && std::chrono::steady_clock::now() < deadline)
        if (h.Drain() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    h.Drain();
    out.route = d.LastRoute();
    const auto errors = h.EventsOf("error");
    if (!errors.empty()) out.error = errors[0];
    for (const auto& f : out.st.FFound) out.rows.push_back(f.FullPath + "|" + std::to_string(f.SizeBytes) + "|" + f.Inode);
    std::sort(out.rows.begin(), out.rows.end());
}

std::string Lower(std::string s) {
    for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return s;
}

// Every deleted file of the volume's manifest is among the rows, by its size and its
// name; a deleted FAT entry with only a short name has lost its first letter.
void ExpectManifest(const VolumeScan& s, const std::string& manifest) {
    for (const auto& m : test::ReadManifest(manifest)) {
        const std::string tail = Lower(m.path.substr(m.path.rfind('/') + 2)) + "|" + std::to_string(m.size) + "|";
        bool found = false;
        for (const auto& r : s.rows) found = found || Lower(r).find(tail) != std::string::npos;
        EXPECT_TRUE(found) << manifest << ": " << m.path;
    }
}

TEST_F(DriverFixture, EveryContainerOfAPartitionedDiskScansLikeTheRawDisk) {
    test::TempDir tmp;
    const std::string raw = test::UnpackFixture("gpt-disk.img", tmp);
    struct Vol { uint32_t index; TScanRoute route; uint64_t offset; };
    const std::vector<Vol> vols = {{1, TScanRoute::Fat32, 2048}, {2, TScanRoute::Ntfs, 75776}, {3, TScanRoute::ExFat, 108544}};
    std::vector<std::vector<std::string>> reference;
    for (const Vol& v : vols) {
        VolumeScan s;
        ScanVolume(engine, tmp.path(), raw, v.index, s);
        ASSERT_EQ(s.error, "") << "volume " << v.index;
        EXPECT_EQ(s.route, v.route);
        EXPECT_EQ(s.st.FLastVolume, v.index);
        EXPECT_EQ(s.st.FLastSectorOffset, v.offset);
        ExpectManifest(s, "gpt-disk.vol" + std::to_string(v.index));
        reference.push_back(s.rows);
    }
    // Every container must give the same rows, QCOW2 too: no volume needs the engine.
    for (const char* c : {"gpt-disk.E01", "gpt-disk.vhd", "gpt-disk.vhdx", "gpt-disk.vmdk", "gpt-disk.qcow2"}) {
        const std::string img = test::UnpackFixture(c, tmp);
        for (size_t i = 0; i < vols.size(); ++i) {
            SCOPED_TRACE(std::string(c) + " volume " + std::to_string(vols[i].index));
            VolumeScan s;
            ScanVolume(engine, tmp.path(), img, vols[i].index, s);
            ASSERT_EQ(s.error, "");
            EXPECT_EQ(s.route, vols[i].route);
            EXPECT_EQ(s.rows, reference[i]);
        }
    }
}

TEST_F(DriverFixture, LogicalVolumesOfASplitE01AndTheChoiceOfVolume) {
    test::TempDir tmp;
    for (const char* seg : {"mbr-ext-disk.E01", "mbr-ext-disk.E02", "mbr-ext-disk.E03", "mbr-ext-disk.E04",
                            "mbr-ext-disk.E05", "mbr-ext-disk.E06"})
        test::UnpackFixture(seg, tmp);
    const std::string e01 = tmp / "mbr-ext-disk.E01";
    for (uint32_t v : {1u, 5u, 6u}) {
        VolumeScan s;
        ScanVolume(engine, tmp.path(), e01, v, s);
        ASSERT_EQ(s.error, "") << v;
        EXPECT_EQ(s.st.FLastImageType, "ewf");
        ExpectManifest(s, "mbr-ext-disk.vol" + std::to_string(v));
    }
    // No choice on a disk with several volumes: refused before any worker, with the list.
    VolumeScan s;
    ScanVolume(engine, tmp.path(), e01, 0, s);
    EXPECT_NE(s.error.find("holds 3 volumes. Choose the one to scan:\n  1  NTFS"), std::string::npos) << s.error;
    EXPECT_TRUE(s.st.FLastSrcForFls.empty());

    // A disk with one volume needs no choice: the MBR disk fixture scans on the FAT32 route.
    VolumeScan one;
    ScanVolume(engine, tmp.path(), test::UnpackFixture("mbr-fat32.img", tmp), 0, one);
    ASSERT_EQ(one.error, "");
    EXPECT_EQ(one.route, TScanRoute::Fat32);
    ExpectManifest(one, "mbr-fat32");
}

} // namespace
} // namespace brivo

namespace brivo {
namespace {

// The volume chosen for the scan is the one the extractors read, inside a container the
// engine cannot open too: the direct readers copy their own results there, a result found
// by its content is copied from its extents, and what only the engine could copy fails
// with the reason instead of a tool error.
TEST_F(DriverFixture, ExtractorsReadTheScannedVolumeInsideEveryContainer) {
    test::TempDir tmp;
    const std::string raw = test::UnpackFixture("gpt-disk.img", tmp);
    const std::string qcow = test::UnpackFixture("gpt-disk.qcow2", tmp);
    for (uint32_t v : {1u, 2u, 3u}) {
        SCOPED_TRACE("volume " + std::to_string(v));
        VolumeScan a, b;
        ScanVolume(engine, tmp.path(), raw, v, a);
        ScanVolume(engine, tmp.path(), qcow, v, b);
        ASSERT_EQ(a.error, "");
        ASSERT_EQ(b.error, "");
        ASSERT_FALSE(a.st.FFound.empty());
        ASSERT_TRUE(a.st.FMakeExtractor && b.st.FMakeExtractor);
        const auto ea = a.st.FMakeExtractor();
        const auto eb = b.st.FMakeExtractor();
        size_t copied = 0;
        for (size_t i = 0; i < a.st.FFound.size() && i < b.st.FFound.size(); ++i) {
            if (a.st.FFound[i].IsDir || a.st.FFound[i].DamageText == "Overwritten") continue;
            test::StringSink sa, sb;
            ea->Extract(a.st.FFound[i], sa);
            eb->Extract(b.st.FFound[i], sb);
            EXPECT_EQ(sa.bytes, sb.bytes) << a.st.FFound[i].FullPath;
            ++copied;
        }
        EXPECT_GT(copied, 0u);

        // Bytes 512..1535 of the volume, as a content result would name them.
        TFoundFile carved;
        carved.FullPath = "/$Found by content/x.bin";
        carved.FoundBy = TFoundBy::Content;
        carved.Extents = {{1024, 512}, {512, 512}};
        test::StringSink s;
        eb->Extract(carved, s);
        ASSERT_EQ(s.bytes.size(), 1024u);
        const auto volume = OpenVolumeSource(ListVolumes(raw), ChooseVolume(ListVolumes(raw), v));
        std::string expect(1024, '\0');
        ASSERT_TRUE(volume->ReadExact(1024, expect.data(), 512));
        ASSERT_TRUE(volume->ReadExact(512, expect.data() + 512, 512));
        EXPECT_EQ(s.bytes, expect);
        carved.Extents = {{volume->Size() - 10, 20}};
        EXPECT_THROW(eb->Extract(carved, s), std::runtime_error);
    }
}

} // namespace
} // namespace brivo

namespace brivo {
namespace {

// A saved scan opens to the same list and the same copies as the scan itself, without
// scanning again; a file that is not one, and a source whose bytes changed, are refused.
TEST_F(DriverFixture, SavedScanReopensAsTheScanAndOnlyOverTheSameVolume) {
    const std::string img = test::UnpackFixture("fat32-fragdir.img", dir);
    TScanDriver d(st, engine, host);
    TScanChoice c = ImageChoice(img);
    c.Deep = true;
    c.ShowHidden = true;
    d.tbFastScanClick(c);
    RunToIdle(d);
    ASSERT_TRUE(host.EventsOf("error").empty());
    ASSERT_FALSE(st.FFound.empty());
    const std::string saved = dir / "scan.json";
    WriteSavedScan(d.LastScanToSave(), saved);

    TScanState again;
    TScanDriver d2(again, engine, host);
    d2.OpenSavedScan(saved);
    RunToIdle(d2);
    ASSERT_TRUE(host.EventsOf("error").empty()) << host.EventsOf("error")[0];
    ASSERT_EQ(again.FFound.size(), st.FFound.size());
    EXPECT_EQ(again.FLastSrcForFls, img);
    EXPECT_EQ(again.FLastFsSwitch, st.FLastFsSwitch);
    EXPECT_EQ(d2.LastRoute(), TScanRoute::Fat32);
    const auto e1 = st.FMakeExtractor();
    const auto e2 = again.FMakeExtractor();
    for (size_t i = 0; i < st.FFound.size(); ++i) {
        const TFoundFile& a = st.FFound[i];
        const TFoundFile& b = again.FFound[i];
        ASSERT_EQ(a.FullPath, b.FullPath);
        EXPECT_EQ(a.Inode, b.Inode);
        EXPECT_EQ(a.SizeBytes, b.SizeBytes);
        EXPECT_EQ(a.DamageText, b.DamageText);
        EXPECT_EQ(a.HasModDate, b.HasModDate);
        if (a.HasModDate) {
            EXPECT_DOUBLE_EQ(a.ModDateUtc, b.ModDateUtc);
        }
        if (a.IsDir || a.DamageText == "Overwritten") continue;
        test::StringSink s1, s2;
        e1->Extract(a, s1);
        e2->Extract(b, s2);
        EXPECT_EQ(s1.bytes, s2.bytes) << a.FullPath;
    }

    // Not a saved scan, or a damaged one: refused whole.
    test::WriteFileBytes(dir / "bad.json", "{\"format\": \"brivo-saved-scan\", \"version\": 1, \"source\": 5}");
    for (const std::string& bad : {std::string(dir / "bad.json"), img, std::string(dir / "missing.json")}) {
        host.events.clear();
        TScanState s;
        TScanDriver d3(s, engine, host);
        d3.OpenSavedScan(bad);
        RunToIdle(d3);
        ASSERT_EQ(host.EventsOf("error").size(), 1u) << bad;
        EXPECT_TRUE(s.FFound.empty());
    }

    // The same path now holds other bytes: the scan is not shown over them.
    {
        std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
        f.seekp(600);
        f.write("changed", 7);
    }
    host.events.clear();
    TScanState changed;
    TScanDriver d4(changed, engine, host);
    d4.OpenSavedScan(saved);
    RunToIdle(d4);
    const auto errors = host.EventsOf("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("is not the one this scan was made of: its first MiB has changed"), std::string::npos)
        << errors[0];
    EXPECT_TRUE(changed.FFound.empty());
}

} // namespace
} // namespace brivo

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <map>

#include <nlohmann/json.hpp>

#include "core/ByteSource.h"
#include "driver/SavedScan.h"
#include "ext/ExtVolume.h"
#include "volumes/VolumeList.h"

namespace brivo {
namespace {

// Every field of a saved scan is checked for its type and range: a file that holds a value
// the program never writes is refused by name, never converted into something else.
TEST(SavedScanFile, RefusesEveryMalformedField) {
    test::TempDir dir;
    TSavedScan scan;
    scan.Identity = {"/images/card.img", 1, 1 << 20, std::string(64, 'a')};
    scan.Masks = {"*.*"};
    TFoundFile f;
    f.Inode = "40";
    f.FullPath = "/DCIM/a.jpg";
    f.SizeBytes = 1000;
    f.HasModDate = true;
    f.ModDateUtc = 45000.5;
    f.HasCreateDate = true;
    f.CreateDateUtc = 44999.25;
    f.DamageScore = 90;
    f.Candidates = {"/$Found by content/jpg/b.jpg"};
    TFoundFile c;
    c.FullPath = "/$Found by content/jpg/b.jpg";
    c.FoundBy = TFoundBy::Content;
    c.Extents = {{4096, 512}};
    scan.Found = {f, c};
    scan.Checks = {"0123456789abcdef", ""};
    scan.Plans = std::make_shared<const TClusterPlanMap>(TClusterPlanMap{{"40", {5, 6}}});
    const std::string good = dir / "good.json";
    WriteSavedScan(scan, good);
    const TSavedScan back = ReadSavedScan(good);
    ASSERT_EQ(back.Found.size(), 2u);
    EXPECT_EQ(back.Checks, scan.Checks);
    EXPECT_EQ(back.Found[1].Extents, c.Extents);
    EXPECT_TRUE(back.Found[0].HasCreateDate);
    EXPECT_EQ(back.Found[0].CreateDateUtc, 44999.25);
    EXPECT_FALSE(back.Found[1].HasCreateDate);
    EXPECT_EQ(back.Found[0].Candidates, f.Candidates);
    EXPECT_TRUE(back.Found[1].Candidates.empty());
    const nlohmann::json doc = nlohmann::json::parse(test::ReadFileBytes(good));

    // A file written before results were checked still opens.
    {
        nlohmann::json old = doc;
        old["results"][0].erase("check");
        test::WriteFileBytes(dir / "old.json", old.dump());
        EXPECT_TRUE(ReadSavedScan(dir / "old.json").Checks.empty());
    }
    // So does one written before creation times were kept.
    {
        nlohmann::json old = doc;
        old["results"][0].erase("created_days");
        test::WriteFileBytes(dir / "old.json", old.dump());
        const TSavedScan opened = ReadSavedScan(dir / "old.json");
        ASSERT_EQ(opened.Found.size(), 2u);
        EXPECT_FALSE(opened.Found[0].HasCreateDate);
        EXPECT_TRUE(opened.Found[0].HasModDate);
    }

    const struct {
        const char* pointer;
        nlohmann::json value;
        const char* named;
    } cases[] = {
        {"/results/0/size", 1e308, "\"size\""},
        {"/results/0/size", -2, "\"size\""},
        {"/results/0/size", "12", "\"size\""},
        {"/results/0/score", 101, "\"score\""},
        {"/results/0/score", 2.5, "\"score\""},
        {"/results/0/inode", 40, "\"inode\""},
        {"/results/0/deleted", 1, "\"deleted\""},
        {"/results/0/modified_days", 1e308, "\"modified_days\""},
        {"/results/0/modified_days", "yesterday", "\"modified_days\""},
        {"/results/0/created_days", -1e9, "\"created_days\""},
        {"/results/0/created_days", nullptr, "\"created_days\""},
        {"/results/0/check", 7, "\"check\""},
        {"/results/0/candidates", "b.jpg", "\"candidates\""},
        {"/results/0/candidates", nlohmann::json::array({1}), "\"candidates\""},
        {"/results/0/check", "not hex at all!!", "\"check\""},
        {"/results/0", "a result", "not an object"},
        {"/results/1/extents", nlohmann::json::array({nlohmann::json::array({1e20, 1})}), "\"extents\""},
        {"/results/1/extents", nlohmann::json::array({nlohmann::json::array({-1, 1})}), "\"extents\""},
        {"/results/1/extents", nlohmann::json::array({nlohmann::json::array({(1 << 20) - 10, 20})}), "outside"},
        {"/results/1/extents", nlohmann::json::array({nlohmann::json::array({0, 0})}), "outside"},
        {"/results/1/extents", "4096", "\"extents\""},
        {"/version", 1.0, "\"version\""},
        {"/volume", 0, "\"volume\""},
        {"/volume", 4294967296ull, "\"volume\""},
        {"/volume_size", -1, "\"volume_size\""},
        {"/volume_size", 1e300, "\"volume_size\""},
        {"/first_mib_sha256", "zz", "\"first_mib_sha256\""},
        {"/source", "", "\"source\""},
        {"/masks", nlohmann::json::array({1}), "\"masks\""},
        {"/hidden_by_masks", -3, "\"hidden_by_masks\""},
        {"/deep_may_find_more", "yes", "\"deep_may_find_more\""},
        {"/cluster_plans/40", nlohmann::json::array({-1}), "\"cluster_plans\""},
        {"/cluster_plans/40", nlohmann::json::array({4294967296ull}), "\"cluster_plans\""},
        {"/cluster_plans", nlohmann::json::array(), "\"cluster_plans\""},
        {"/results", nlohmann::json::object(), "results is not a list"},
    };
    for (const auto& t : cases) {
        nlohmann::json bad = doc;
        bad[nlohmann::json::json_pointer(t.pointer)] = t.value;
        test::WriteFileBytes(dir / "bad.json", bad.dump());
        try {
            ReadSavedScan(dir / "bad.json");
            ADD_FAILURE() << t.pointer << " = " << t.value.dump() << " was accepted";
        } catch (const std::runtime_error& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("is not a saved scan of this program"), std::string::npos) << what;
            EXPECT_NE(what.find(t.named), std::string::npos) << t.pointer << ": " << what;
        }
    }
    // A missing field is named too.
    nlohmann::json missing = doc;
    missing["results"][0].erase("size");
    test::WriteFileBytes(dir / "bad.json", missing.dump());
    EXPECT_THROW(
        {
            try {
                ReadSavedScan(dir / "bad.json");
            } catch (const std::runtime_error& e) {
                EXPECT_NE(std::string(e.what()).find("\"size\" is missing"), std::string::npos) << e.what();
                throw;
            }
        },
        std::runtime_error);
}

// A saved scan is read from the SOURCE the user names (the image moved), and refused over
// another volume; the path it keeps is absolute.
TEST_F(DriverFixture, SavedScanOpensFromTheNamedSourceOnlyWhenItIsTheScannedVolume) {
    const std::string img = test::UnpackFixture("ntfs.img", dir);
    TScanDriver d(st, engine, host);
    d.tbFastScanClick(ImageChoice(img));
    RunToIdle(d);
    ASSERT_TRUE(host.EventsOf("error").empty());
    const std::string saved = dir / "scan.brivoscan";
    WriteSavedScan(d.LastScanToSave(), saved);

    const std::string moved = dir / "moved.img";
    std::filesystem::rename(img, moved);
    auto open = [&](const std::string& source, TScanState& state) {
        host.events.clear();
        TScanDriver o(state, engine, host);
        o.OpenSavedScan(saved, source);
        RunToIdle(o);
    };
    TScanState fromMoved;
    open(moved, fromMoved);
    ASSERT_TRUE(host.EventsOf("error").empty()) << host.EventsOf("error")[0];
    EXPECT_EQ(fromMoved.FFound.size(), st.FFound.size());
    EXPECT_EQ(fromMoved.FLastSrcForFls, moved);

    const std::string other = test::UnpackFixture("ntfs-4k.img", dir);
    TScanState fromOther;
    open(other, fromOther);
    ASSERT_EQ(host.EventsOf("error").size(), 1u);
    EXPECT_NE(host.EventsOf("error")[0].find(other + " is not the volume this scan was made of"), std::string::npos)
        << host.EventsOf("error")[0];
    EXPECT_TRUE(fromOther.FFound.empty());
}

// The records a saved scan's results were found from are checked wherever they lie: one
// deleted file's record (NTFS) or directory entry (FAT) rewritten, with the volume's first
// MiB as the scan saw it, refuses the file and names that result.
TEST_F(DriverFixture, SavedScanIsRefusedWhenARecordOfItsResultsChanged) {
    const struct {
        const char* fixture;
        std::string where;   // bytes that only the chosen deleted file's record holds
        const char* result;  // a part of that result's path
    } cases[] = {
        {"ntfs.img", std::string("r\0e\0p\0o\0r\0t\0.\0d\0o\0c\0x\0", 22), "report.docx"},
        {"fat32.img", "\xe5OTES   TXT", "otes.txt"},
    };
    for (const auto& t : cases) {
        SCOPED_TRACE(t.fixture);
        const std::string img = test::UnpackFixture(t.fixture, dir);
        TScanState state;
        TScanDriver d(state, engine, host);
        host.events.clear();
        d.tbFastScanClick(ImageChoice(img));
        RunToIdle(d);
        ASSERT_TRUE(host.EventsOf("error").empty());
        const TSavedScan toSave = d.LastScanToSave();
        ASSERT_EQ(toSave.Checks.size(), toSave.Found.size());
        EXPECT_EQ(std::count(toSave.Checks.begin(), toSave.Checks.end(), std::string()), 0);
        const std::string saved = dir / "scan.brivoscan";
        WriteSavedScan(toSave, saved);

        std::string bytes = test::ReadFileBytes(img);
        const size_t at = bytes.find(t.where);
        ASSERT_NE(at, std::string::npos);
        ASSERT_EQ(bytes.find(t.where, at + 1), std::string::npos);
        bytes[at + 2] ^= 0x01;
        test::WriteFileBytes(img, bytes);
        // These small volumes hold their records in the first MiB: the saved hash of it is
        // made the changed one's, as on a large volume whose change lies further in.
        nlohmann::ordered_json doc = nlohmann::ordered_json::parse(test::ReadFileBytes(saved));
        const TSourceVolumes vols = ListVolumes(img);
        doc["first_mib_sha256"] = IdentifyVolume(vols, ChooseVolume(vols, 1)).FirstMiBSha256;
        test::WriteFileBytes(saved, doc.dump());

        host.events.clear();
        TScanState changed;
        TScanDriver o(changed, engine, host);
        o.OpenSavedScan(saved);
        RunToIdle(o);
        ASSERT_EQ(host.EventsOf("error").size(), 1u);
        const std::string error = host.EventsOf("error")[0];
        EXPECT_NE(error.find("has been written to since the scan: what 1 of its"), std::string::npos) << error;
        std::string lower = error;
        std::transform(lower.begin(), lower.end(), lower.begin(), [](unsigned char ch) { return std::tolower(ch); });
        EXPECT_NE(lower.find(t.result), std::string::npos) << error;
        EXPECT_TRUE(changed.FFound.empty());
    }
}

// A saved scan of an ext volume, reopened, gives every file back as the scan did: those the
// journal's copies of their inodes mapped (ext3: read from their extents) and one whose
// inode kept its block map (read through the inode); and it is refused once that inode
// has changed, so a reused inode is never copied as the file the scan found.
TEST_F(DriverFixture, ExtSavedScanRecoversByteExactAndWatchesItsInodes) {
    const struct {
        const char* fixture;
        size_t exact;  // manifest files recovered byte-exact, at least
    } cases[] = {{"ext3-home", 77}, {"ext4-blockmap", 1}};
    for (const auto& t : cases) {
        SCOPED_TRACE(t.fixture);
        const std::string img = test::UnpackFixture(std::string(t.fixture) + ".img", dir);
        TScanState state;
        TScanDriver d(state, engine, host);
        host.events.clear();
        d.tbFastScanClick(ImageChoice(img));
        RunToIdle(d);
        ASSERT_TRUE(host.EventsOf("error").empty());
        const TSavedScan toSave = d.LastScanToSave();
        ASSERT_EQ(toSave.Checks.size(), toSave.Found.size());
        EXPECT_EQ(std::count(toSave.Checks.begin(), toSave.Checks.end(), std::string()), 0);
        const std::string saved = dir / "ext.brivoscan";
        WriteSavedScan(toSave, saved);

        TScanState again;
        TScanDriver o(again, engine, host);
        o.OpenSavedScan(saved);
        RunToIdle(o);
        ASSERT_TRUE(host.EventsOf("error").empty()) << host.EventsOf("error")[0];
        ASSERT_EQ(again.FFound.size(), state.FFound.size());
        std::map<std::string, std::string> md5Of;
        for (const auto& e : test::ReadManifest(t.fixture)) md5Of[e.path] = e.md5;
        const auto ex = again.FMakeExtractor();
        size_t exact = 0;
        for (const TFoundFile& f : again.FFound) {
            const auto it = md5Of.find(f.FullPath);
            if (it == md5Of.end()) continue;
            test::StringSink s;
            try {
                ex->Extract(f, s);
            } catch (const std::exception&) {
                continue;
            }
            test::WriteFileBytes(dir / "copy.bin", s.bytes);
            const bool same = test::Md5OfFile(dir / "copy.bin") == it->second;
            exact += same;
            if (f.DamageText == "Excellent") {
                EXPECT_TRUE(same) << f.FullPath;
            }
        }
        EXPECT_GE(exact, t.exact);
    }

    // The photo is read through its inode: one byte of that inode changed refuses the scan.
    const std::string img = test::UnpackFixture("ext4-blockmap.img", dir);
    TScanState state;
    TScanDriver d(state, engine, host);
    host.events.clear();
    d.tbFastScanClick(ImageChoice(img));
    RunToIdle(d);
    ASSERT_EQ(state.FFound.size(), 1u);
    ASSERT_TRUE(state.FFound[0].Extents.empty());
    const std::string saved = dir / "ext.brivoscan";
    WriteSavedScan(d.LastScanToSave(), saved);
    uint64_t block = 0;
    uint32_t offset = 0, blockSize = 0;
    {
        auto src = OpenRawByteSource(img);
        TExtVolume vol(*src);
        ASSERT_TRUE(vol.InodeLocation(static_cast<uint32_t>(std::stoul(state.FFound[0].Inode)), block, offset));
        blockSize = vol.BlockSize();
    }
    std::string bytes = test::ReadFileBytes(img);
    bytes[block * blockSize + offset + 0x10] ^= 0x01;  // its mtime
    test::WriteFileBytes(img, bytes);
    nlohmann::ordered_json doc = nlohmann::ordered_json::parse(test::ReadFileBytes(saved));
    const TSourceVolumes vols = ListVolumes(img);
    doc["first_mib_sha256"] = IdentifyVolume(vols, ChooseVolume(vols, 1)).FirstMiBSha256;
    test::WriteFileBytes(saved, doc.dump());
    host.events.clear();
    TScanState changed;
    TScanDriver o(changed, engine, host);
    o.OpenSavedScan(saved);
    RunToIdle(o);
    ASSERT_EQ(host.EventsOf("error").size(), 1u);
    EXPECT_NE(host.EventsOf("error")[0].find("photo.png"), std::string::npos) << host.EventsOf("error")[0];
    EXPECT_TRUE(changed.FFound.empty());
}

} // namespace
} // namespace brivo
