// Scans through the driver over a disk with bad sectors: every readable result is still
// listed, the results that touch what could not be read say so, the scan names the
// unreadable areas, and recovery reads the same disk past them.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <thread>

#include "DriverTest.h"
#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/FailingByteSource.h"
#include "driver/ScanDriver.h"
#include "driver/UnreadableResults.h"
#include "engine/EngineFolder.h"
#include "fat32/FatResultSpans.h"
#include "results/Recovery.h"

namespace brivo {
namespace {

struct Scan {
    TScanState st;
    test::RecordingHost host;
};

// Scans disk (its only volume) to the end.
void RunScan(TEngineContext& engine, const std::string& dir, TByteSourcePtr disk, bool contentOnly, Scan& out) {
    out.host.debugLogPath = dir + "/debug.log";
    TScanDriver d(out.st, engine, out.host);
    TScanChoice c;
    c.Where = TScanWhere::swDiskImage;
    c.ImagePath = disk->Name();
    c.ShowHidden = true;
    c.ContentOnly = contentOnly;
    TScanSource source;
    source.Src = disk->Name();
    source.Where = TScanWhere::swDiskImage;
    d.ScanSource(source, c, std::make_shared<const TSourceVolumes>(ListVolumesOf(disk)));
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
    while (d.Busy() && std::chrono::steady_clock::now() < deadline)
        if (out.host.Drain() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    out.host.Drain();
    ASSERT_FALSE(d.Busy());
}

bool Marked(const TFoundFile& f) { return f.DamageText.rfind("Unreadable parts; ", 0) == 0; }

struct UnreadableScan : test::DriverTest {};

TEST_F(UnreadableScan, FatFolderSectorLostOnlyItsOwnEntriesAndTheRestIsListedAndRecoverable) {
    const TByteSourcePtr raw = OpenRawByteSource(test::UnpackFixture("fat32.img", dir));
    Scan clean;
    RunScan(engine, dir.path(), raw, false, clean);
    ASSERT_TRUE(clean.st.FUnreadable->Empty());
    ASSERT_GT(clean.st.FFound.size(), 3u);

    // The sector of one deleted file's folder entry goes bad.
    const TFatSpansOf spansOf = MakeFatResultSpans(*raw, nullptr);
    const TFoundFile* victim = nullptr;
    for (const TFoundFile& f : clean.st.FFound)
        if (f.FullPath.find("to the bank.txt") != std::string::npos) victim = &f;
    ASSERT_NE(victim, nullptr);
    const std::vector<TByteExtent> victimSpans = spansOf(*victim);
    ASSERT_EQ(victimSpans.size(), 2u);  // its entry, its first clusters
    const uint64_t bad = victimSpans[0].Offset / 512 * 512;

    Scan failing;
    RunScan(engine, dir.path(), MakeFailingByteSource(raw, {{bad, 512}}), false, failing);
    EXPECT_TRUE(failing.host.EventsOf("error").empty());
    EXPECT_EQ(failing.st.FUnreadable->Areas(), (std::vector<TByteRange>{{bad, 512}}));
    const std::string warning = "1 area (1 KiB) could not be read (bad sectors?); results that depend on it may be "
                                "missing or incomplete.";
    EXPECT_EQ(failing.host.status, warning);
    const auto memo = failing.host.EventsOf("memo");
    EXPECT_NE(std::find(memo.begin(), memo.end(), warning), memo.end());

    // Every result whose entry lies elsewhere is listed as on the clean disk.
    std::map<std::string, const TFoundFile*> listed;
    for (const TFoundFile& f : failing.st.FFound) listed[f.Inode] = &f;
    for (const TFoundFile& f : clean.st.FFound) {
        const bool inBad = spansOf(f)[0].Offset / 512 * 512 == bad;
        const auto it = listed.find(f.Inode);
        if (inBad) {
            // A zero-filled entry is no deleted file; if a copy survives, it is named.
            if (it != listed.end()) {
                EXPECT_TRUE(Marked(*it->second)) << f.FullPath;
            }
            continue;
        }
        ASSERT_NE(it, listed.end()) << f.FullPath;
        EXPECT_EQ(it->second->FullPath, f.FullPath);
        EXPECT_EQ(it->second->DamageText, f.DamageText) << f.FullPath;
    }

    // Recovery reads through the same map: a file outside the bad sector copies as it did.
    const TFoundFile* other = nullptr;
    for (const TFoundFile& f : failing.st.FFound)
        if (f.SizeBytes > 0 && !Marked(f)) other = &f;
    ASSERT_NE(other, nullptr);
    struct Sink final : TByteSink {
        void Write(std::span<const uint8_t> b) override { n += b.size(); }
        uint64_t n = 0;
    } sink;
    failing.st.FMakeExtractor()->Extract(*other, sink);
    EXPECT_EQ(sink.n, static_cast<uint64_t>(other->SizeBytes));
}

// A content search reads every byte: the results whose extents cover a bad area are named,
// the others keep their condition, and the bad area is in the map for the front ends.
TEST_F(UnreadableScan, ContentResultsOverABadAreaAreNamed) {
    // Two files on a disk with no file system: a PNG at 64 KiB, a WAV at 256 KiB.
    std::string disk(1 << 20, '\0');
    disk.replace(64 << 10, 7024, test::ReadFileBytes(test::FixturePath("carve/image.png")));
    disk.replace(256 << 10, 6046, test::ReadFileBytes(test::FixturePath("carve/tone.wav")));
    test::WriteFileBytes(dir / "two-files.img", disk);
    const TByteSourcePtr raw = OpenRawByteSource(dir / "two-files.img");
    Scan clean;
    RunScan(engine, dir.path(), raw, true, clean);
    ASSERT_EQ(clean.st.FFound.size(), 2u);
    // A sector of the WAV's samples, which its header's length covers whatever they hold.
    const uint64_t bad = (256 << 10) + 2048;

    Scan failing;
    RunScan(engine, dir.path(), MakeFailingByteSource(raw, {{bad, 512}}), true, failing);
    EXPECT_EQ(failing.st.FUnreadable->Areas(), (std::vector<TByteRange>{{bad, 512}}));
    size_t marked = 0;
    for (const TFoundFile& f : failing.st.FFound) {
        bool touches = false;
        for (const TByteExtent& e : f.Extents) touches = touches || (e.Offset < bad + 512 && bad < e.Offset + e.Length);
        EXPECT_EQ(Marked(f), touches) << f.FullPath;
        marked += Marked(f);
    }
    EXPECT_EQ(marked, 1u);
}

// Nothing readable at all is an error, not an empty listing.
TEST_F(UnreadableScan, ADiskThatReadsNothingIsAnError) {
    const TByteSourcePtr raw = OpenRawByteSource(test::UnpackFixture("fat32.img", dir));
    Scan failing;
    RunScan(engine, dir.path(), MakeFailingByteSource(raw, {{0, raw->Size()}}), true, failing);
    const auto errors = failing.host.EventsOf("error");
    ASSERT_FALSE(errors.empty());
    EXPECT_NE(errors[0].find("Nothing could be read"), std::string::npos) << errors[0];
}

} // namespace
} // namespace brivo
