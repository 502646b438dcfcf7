#include <gtest/gtest.h>

#include <chrono>
#include <fstream>
#include <thread>

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

struct DriverFixture : ::testing::Test {
    test::TempDir dir;
    test::RecordingHost host;
    TScanState st;
    TEngineContext engine;

    void SetUp() override {
        host.debugLogPath = dir / "debug.log";
        ExtractEmbeddedBinaries(engine.FToolsDir, engine.FExtracted);
    }
    void TearDown() override { DeleteExtractedBinaries(engine.FToolsDir, engine.FExtracted); }

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

TScanRoutes FakeNtfs(std::function<void(TScanState&, TScanHost&)> body) {
    TScanRoutes r = TScanRoutes::Default();
    r.Ntfs = [body](TScanState& st, TScanHost& host, const std::string&, const TMaskList&) { body(st, host); };
    return r;
}

TEST_F(DriverFixture, DirectRouteRunsStepsInOrderAndPopulatesOnce) {
    TScanDriver d(st, engine, host, FakeNtfs([](TScanState& s, TScanHost& h) {
                      SafeLog(h, "reader line");
                      s.FFound = {Result("40", "a.txt"), Result("41", "Docs/b.txt")};
                  }));
    const std::string img = WriteNtfsBootSector(dir);
    d.tbFastScanClick(ImageChoice(img));
    RunToIdle(d);

    EXPECT_EQ(d.LastRoute(), TScanRoute::Ntfs);
    EXPECT_EQ(st.FLastSrcForFls, img);
    EXPECT_EQ(st.FLastFsSwitch, " -f ntfs");
    EXPECT_EQ(st.FLastWhereMode, TScanWhere::swDiskImage);
    EXPECT_EQ(st.FFound.size(), 2u);
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
    TScanDriver d(st, engine, host, FakeNtfs([](TScanState&, TScanHost&) {
                      throw std::runtime_error("Cannot read boot sector.");
                  }));
    d.tbFastScanClick(ImageChoice(WriteNtfsBootSector(dir)));
    RunToIdle(d);
    const Events tail(host.events.end() - 3, host.events.end());
    EXPECT_EQ(tail, (Events{"memo: ERROR: Cannot read boot sector.", "error: Cannot read boot sector.", "busy: 0"}));
}

TEST_F(DriverFixture, StopEndsADirectScanAndKeepsWhatItFound) {
    TScanDriver d(st, engine, host, FakeNtfs([](TScanState& s, TScanHost&) {
                      while (!s.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                      s.FFound = {Result("7", "partial.txt")};
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
}

TEST_F(DriverFixture, ClosingDuringAScanStopsAndJoinsTheWorker) {
    std::atomic<bool> finished{false};
    {
        TScanDriver d(st, engine, host, FakeNtfs([&](TScanState& s, TScanHost&) {
                          while (!s.StopRequested()) std::this_thread::sleep_for(std::chrono::milliseconds(2));
                          finished = true;
                      }));
        d.tbFastScanClick(ImageChoice(WriteNtfsBootSector(dir)));
    }
    EXPECT_TRUE(finished);
}

// The engine route on a file system the program does not read itself (exFAT).
TEST_F(DriverFixture, FlsRouteListsDeletedFilesOfAnExfatImage) {
    const std::string img = test::UnpackFixture("exfat.img", dir);
    TScanDriver d(st, engine, host);
    d.tbFastScanClick(ImageChoice(img));
    RunToIdle(d);
    EXPECT_EQ(d.LastRoute(), TScanRoute::Fls);
    EXPECT_EQ(st.FLastFsSwitch, "");
    const auto memo = host.MemoMessages();
    ASSERT_GE(memo.size(), 6u);
    EXPECT_EQ(memo[3], "Fallback to fls for non-NTFS scan path.");
    EXPECT_EQ(memo[4].rfind("> \"", 0), 0u);
    EXPECT_NE(memo[4].find("\" -r -p -m / -d \"" + img + "\""), std::string::npos);
    EXPECT_EQ(memo[5], "fls completed.");
    EXPECT_EQ(host.events.back(), "busy: 0");
    EXPECT_TRUE(host.EventsOf("error").empty());
}

TEST_F(DriverFixture, FolderResolutionFailureEndsTheCommandWithoutAWorker) {
    TScanDriver d(st, engine, host);
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
    TScanDriver d(st, engine, host);
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
    const std::string part = test::UnpackFixture("mbr-fat32.img", tmp);
    for (const std::string& src : {junk, part}) {
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
        EXPECT_FALSE(errors[0].empty());
        EXPECT_TRUE(h.EventsOf("populate").empty()) << src;
        EXPECT_EQ(h.events.back(), "busy: 0");
    }
}

} // namespace
} // namespace brivo
