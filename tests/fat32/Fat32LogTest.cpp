#include <gtest/gtest.h>

#include "FatScanHelpers.h"

namespace brivo {
namespace {

using namespace brivo::test;

TEST(Fat32Log, FileKeepsTheOrderOfAllLinesAndOnlyUserLinesReachTheMemo) {
    FatScan scan;  // a recording host with a debug file
    const int n = 70000;  // more than one hand-over batch and one write block
    {
        TFat32Log log(scan.report);
        log.SafeLog("Fast FAT32 scan: reading FAT and directory entries directly...");
        for (int i = 0; i < n; ++i) {
            if (i % 2) {
                log.BeginRecord([](TDebugLineWriter& w, TRecordReader& r) {
                    w.Begin() += "deferred " + std::to_string(r.U64());
                    w.End();
                }).U64(uint64_t(i));
                log.EndRecord();
            } else
                log.SafeLog("FAT32 DBG direct " + std::to_string(i));
            if (i == 1000) {
                log.SafeLog("user line");
                log.Flush();
                EXPECT_EQ(scan.FileLines().size(), 1003u);  // flushed: everything so far is in the file
            }
        }
    }
    const auto lines = scan.FileLines();  // before the window's own Log writes its copies of the user lines
    scan.host.Drain();
    EXPECT_EQ(scan.host.MemoMessages(),
              (std::vector<std::string>{"Fast FAT32 scan: reading FAT and directory entries directly...", "user line"}));
    ASSERT_EQ(lines.size(), size_t(n) + 2);
    size_t at = 1;
    for (int i = 0; i < n; ++i, ++at) {
        const std::string want = std::string(i % 2 ? "FAT32 DBG deferred " : "FAT32 DBG direct ") + std::to_string(i);
        ASSERT_EQ(lines[at], want) << at;
        if (i == 1000) {
            ASSERT_EQ(lines[++at], "user line");
        }
    }
}

TEST(Fat32Log, WithoutADebugFileOnlyTheWindowLogGetsLines) {
    RecordingHost host;  // no debug file
    TScanState st;
    THostReport report(host, st);
    {
        TFat32Log log(report);
        EXPECT_FALSE(log.DebugEnabled());  // the scan then builds no debug line at all
        log.SafeLog("FAT32 DBG hidden");
        log.SafeLog("shown");
    }
    host.Drain();
    EXPECT_EQ(host.MemoMessages(), (std::vector<std::string>{"shown"}));
}

} // namespace
} // namespace brivo
