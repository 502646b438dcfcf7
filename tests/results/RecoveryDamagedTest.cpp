// Recovery over a source with bad sectors: a file with an unreadable part fails at the bad
// byte by default, and is kept with zeros in its place when asked, its report naming where.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <thread>

#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/Extractor.h"
#include "core/FailingByteSource.h"
#include "core/ResilientSource.h"
#include "results/RecoveryBatch.h"

namespace fs = std::filesystem;

namespace brivo {
namespace {

constexpr uint64_t kVolume = 1 << 20;

std::vector<uint8_t> VolumeBytes() {
    std::vector<uint8_t> v(kVolume);
    for (size_t i = 0; i < v.size(); ++i) v[i] = static_cast<uint8_t>('a' + (i / 512) % 26);
    return v;
}

struct Rig {
    std::vector<uint8_t> bytes = VolumeBytes();
    TScanState state;
    test::RecordingHost host;
    TRecoveryBatch batch{state, host};
    std::vector<TRecoveryRecord> records;

    // Bad sectors at 70,000 (inside the second extent of "split") and 300,000.
    Rig() {
        state.FLastSrcForFls = "/dev/fake";
        auto failing = MakeFailingByteSource(MakeMemoryByteSource(bytes, "/dev/fake"), {{70000, 10}, {300000, 1}});
        auto map = std::make_shared<TUnreadableMap>();
        state.FMakeExtractor = [failing, map] {
            return MakeExtentExtractor(MakeResilientSource(failing, map), nullptr);
        };
        Add("1", "/clean.bin", {{0, 5000}});
        Add("2", "/split.bin", {{10000, 3000}, {65536, 40000}});
        Add("3", "/tail.bin", {{299000, 1200}});
    }
    void Add(const std::string& inode, const std::string& path, std::vector<TByteExtent> extents) {
        TFoundFile f;
        f.Inode = inode;
        f.FullPath = path;
        for (const auto& e : extents) f.SizeBytes += static_cast<int64_t>(e.Length);
        f.Extents = std::move(extents);
        state.FFound.push_back(f);
    }
    void Run(const std::string& folder, bool keep) {
        TRecoveryBatchOptions opt;
        opt.KeepDamaged = keep;
        opt.OnRecord = [this](const TRecoveryRecord& r) { records.push_back(r); };
        ASSERT_TRUE(batch.Start({0, 1, 2}, folder, opt));
        while (batch.Busy()) {
            host.Drain();
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
        host.Drain();
    }
    std::string Expected(const TFoundFile& f) const {
        std::string out;
        for (const auto& e : f.Extents) out.append(bytes.begin() + e.Offset, bytes.begin() + e.Offset + e.Length);
        return out;
    }
};

TEST(RecoveryDamaged, ByDefaultAFileWithAnUnreadablePartFailsAtTheBadByte) {
    Rig t;
    test::TempDir out;
    t.Run(out.path(), false);
    ASSERT_EQ(t.records.size(), 3u);
    EXPECT_EQ(t.records[0].Outcome, TRecoveryOutcome::Ok);
    EXPECT_EQ(t.records[1].Outcome, TRecoveryOutcome::Failed);
    EXPECT_EQ(t.records[1].Error, "Cannot read /dev/fake at byte 69632: Input/output error");
    EXPECT_EQ(t.records[2].Error, "Cannot read /dev/fake at byte 299520: Input/output error");
    EXPECT_EQ(t.batch.LastSummary().Counts.Damaged, 0);
    EXPECT_EQ(t.batch.LastSummary().Counts.Failed, 2);
    // The summary names the failed files and why, and says what would get them back; the
    // list's Condition says so too.
    const TRecoverySummary& s = t.batch.LastSummary();
    ASSERT_EQ(s.Problems.size(), 2u);
    EXPECT_EQ(s.FailedUnreadable, 2);
    EXPECT_EQ(RecoveryProblemText(s.Problems[0], t.host),
              "/split.bin: Cannot read /dev/fake at byte 69632: Input/output error");
    EXPECT_NE(s.Hint.find("2 file(s) failed because parts of them could not be read"), std::string::npos) << s.Hint;
    EXPECT_NE(s.Hint.find("Keep files with unreadable parts"), std::string::npos);
    EXPECT_EQ(t.state.FFound[0].DamageText, "Unknown");
    EXPECT_EQ(t.state.FFound[1].DamageText, "Unreadable parts");
    EXPECT_EQ(t.state.FFound[2].DamageText, "Unreadable parts");
    size_t files = 0;
    for ([[maybe_unused]] const auto& e : fs::recursive_directory_iterator(out.path())) ++files;
    EXPECT_EQ(files, 1u);  // nothing partial left behind
}

TEST(RecoveryDamaged, KeptOnRequestWithZerosWhereTheSectorsWereBad) {
    Rig t;
    test::TempDir out;
    t.Run(out.path(), true);
    ASSERT_EQ(t.records.size(), 3u);
    EXPECT_EQ(t.records[0].Outcome, TRecoveryOutcome::Ok);
    EXPECT_TRUE(t.records[0].Unreadable.empty());

    // split.bin: 3000 bytes from the first extent, then the second from 65,536: the bad
    // sector 69,632..70,144 sits at 3000 + 4096 in the file.
    const TRecoveryRecord& split = t.records[1];
    EXPECT_EQ(split.Outcome, TRecoveryOutcome::Damaged);
    EXPECT_EQ(split.Unreadable, (std::vector<TByteRange>{{7096, 512}}));
    std::string want = t.Expected(t.state.FFound[1]);
    std::fill(want.begin() + 7096, want.begin() + 7096 + 512, '\0');
    EXPECT_EQ(test::ReadFileBytes(split.OutputPath), want);
    EXPECT_EQ(split.Size, want.size());

    // tail.bin starts at 299,000: the bad sector 299,520 is at 520 and runs to its end's 1,032.
    EXPECT_EQ(t.records[2].Outcome, TRecoveryOutcome::Damaged);
    EXPECT_EQ(t.records[2].Unreadable, (std::vector<TByteRange>{{520, 512}}));

    const TRecoverySummary& s = t.batch.LastSummary();
    EXPECT_EQ(s.Counts.OK, 1);
    EXPECT_EQ(s.Counts.Damaged, 2);
    EXPECT_EQ(s.Counts.Failed, 0);
    EXPECT_EQ(s.Text, "Recovery finished. OK: 1 Failed: 0 Damaged: 2");
    EXPECT_EQ(t.host.EventsOf("status").back(), "Recovery finished.\r\nOK: 1\r\nFailed: 0\r\nDamaged: 2");
    ASSERT_EQ(s.Problems.size(), 2u);
    EXPECT_EQ(RecoveryProblemText(s.Problems[0], t.host), "/split.bin: kept with unreadable parts (512 bytes are zeros)");
    EXPECT_EQ(s.Problems[1].Path, "/tail.bin");
    EXPECT_TRUE(s.Hint.empty());
    EXPECT_EQ(t.state.FFound[0].DamageText, "Unknown");
    EXPECT_EQ(t.state.FFound[1].DamageText, "Unreadable parts");
    // A second batch does not say it twice; an estimate already there is kept after it.
    t.state.FFound[2].DamageText = "Good (90%)";
    t.records.clear();
    test::TempDir again;
    t.Run(again.path(), true);
    EXPECT_EQ(t.state.FFound[1].DamageText, "Unreadable parts");
    EXPECT_EQ(t.state.FFound[2].DamageText, "Unreadable parts; Good (90%)");
}

} // namespace
} // namespace brivo
