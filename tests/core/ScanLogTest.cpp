#include <gtest/gtest.h>

#include <filesystem>

#include <thread>

#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/DateConvert.h"
#include "core/ScanLog.h"

namespace brivo {
namespace {

TEST(ScanLog, ProgressScalesToPermilleWithHalvesToEvenAndClamp) {
    struct Case { uint64_t pos, max; int want; };
    const Case cases[] = {
        {5, 10, 500}, {1, 3, 333}, {2, 3, 667}, {11, 10, 1000}, {0, 10, 0},
        {1, 2000, 0},      // 0.5 -> 0 (even)
        {3, 2000, 2},      // 1.5 -> 2
        {5, 2000, 2},      // 2.5 -> 2
        {UINT64_MAX, 1, 1000}, {UINT64_MAX, UINT64_MAX, 1000},
    };
    for (const auto& c : cases) EXPECT_EQ(ProgressPermille(c.pos, c.max), c.want) << c.pos << "/" << c.max;
}

TEST(ScanLog, UpdateProgressShowsBarAndOnlyNonEmptyStatus) {
    test::RecordingHost host;
    UpdateProgress(host, 5, 10, "x");
    EXPECT_EQ(host.progress, 500);
    EXPECT_EQ(host.status, "x");
    UpdateProgress(host, 1, 3, "");
    EXPECT_EQ(host.progress, 333);
    EXPECT_EQ(host.status, "x");
    UpdateProgress(host, 7, 0, "y");
    EXPECT_TRUE(host.indeterminate);
    EXPECT_EQ(host.progress, 333);
    EXPECT_EQ(host.status, "y");
}

TEST(ScanLog, LogOffTheUiThreadIsQueuedAndWrittenWhenTheUiHandlesIt) {
    test::TempDir dir;
    test::RecordingHost host;
    host.debugLogPath = dir / "debug.log";
    TruncateDebugLog(host.debugLogPath);
    std::thread([&] {
        Log(host, "from worker");
        SafeLog(host, "safe line");
    }).join();
    EXPECT_TRUE(host.memo.empty());
    EXPECT_EQ(test::ReadFileBytes(host.debugLogPath), "\xEF\xBB\xBF");
    host.Drain();
    EXPECT_EQ(host.MemoMessages(), (std::vector<std::string>{"from worker", "safe line"}));

    const std::string file = test::ReadFileBytes(host.debugLogPath);
    ASSERT_GE(file.size(), 3u);
    EXPECT_EQ(file.substr(0, 3), "\xEF\xBB\xBF");
    size_t lines = 0;
    for (size_t p = 0; (p = file.find("\r\n", p)) != std::string::npos; p += 2) ++lines;
    EXPECT_EQ(lines, 2u);
    // Line format: hh:nn:ss, two blanks, message.
    const std::string first = file.substr(3, file.find("\r\n") - 3);
    ASSERT_EQ(first.size(), 10 + std::string("from worker").size());
    EXPECT_EQ(first[2], ':');
    EXPECT_EQ(first[5], ':');
    EXPECT_EQ(first.substr(8), "  from worker");
}

// The log is opened once and kept: lines written after the file was moved away still
// reach it (a file opened per line would start anew at the old name); a new scan opens
// it again at its path, and another path switches files.
TEST(ScanLog, DebugLogStaysOpenBetweenLines) {
    test::TempDir dir;
    const std::string path = dir / "debug.log", moved = dir / "moved.log", other = dir / "other.log";
    TruncateDebugLog(path);
    AppendDebugLogLine(path, "one");
    ASSERT_EQ(::rename(path.c_str(), moved.c_str()), 0);
    AppendDebugLogLine(path, "two");
    EXPECT_EQ(test::ReadFileBytes(moved), "\xEF\xBB\xBFone\r\ntwo\r\n");
    EXPECT_FALSE(std::filesystem::exists(path));
    TruncateDebugLog(path);
    AppendDebugLogLine(path, "three");
    EXPECT_EQ(test::ReadFileBytes(path), "\xEF\xBB\xBFthree\r\n");
    EXPECT_EQ(test::ReadFileBytes(moved), "\xEF\xBB\xBFone\r\ntwo\r\n");
    AppendDebugLogLine(other, "four");
    EXPECT_EQ(test::ReadFileBytes(other), "four\r\n");
}

TEST(ScanLog, UnwritableDebugLogIsIgnored) {
    test::RecordingHost host;
    host.debugLogPath = "/nonexistent-folder/x/debug.log";
    TruncateDebugLog(host.debugLogPath);
    Log(host, "still shown");
    EXPECT_EQ(host.MemoMessages(), std::vector<std::string>{"still shown"});
}

TEST(DateConvert, FileTimeToUtcRoundsToTenThousandthsOfADay) {
    TDateTime v = 1;
    EXPECT_FALSE(FileTimeToUtc(0, v));
    EXPECT_EQ(v, 0);
    // 1970-01-01 00:00:00 UTC = 116444736000000000 ticks -> day 25569 exactly.
    ASSERT_TRUE(FileTimeToUtc(116444736000000000LL, v));
    EXPECT_DOUBLE_EQ(v, 25569.0);
    // Half a unit (4.32 s) rounds to even: 0 units stays, 1.5 units -> 2.
    ASSERT_TRUE(FileTimeToUtc(116444736000000000LL + 43200000LL, v));
    EXPECT_DOUBLE_EQ(v, 25569.0);
    ASSERT_TRUE(FileTimeToUtc(116444736000000000LL + 3 * 43200000LL, v));
    EXPECT_DOUBLE_EQ(v, 25569.0002);
}

} // namespace
} // namespace brivo
