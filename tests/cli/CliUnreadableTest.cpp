// A scan through a real file whose reads fail with EIO (a FUSE file system the test
// mounts; skipped without root or FUSE): the scan goes on past the bad sectors and says so.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "FailingFile.h"
#include "TestSupport.h"
#include "core/ByteReaders.h"

namespace brivo {
namespace {

TEST(CliUnreadable, NtfsScanOverBadMftRecordsNamesTheAreasAndKeepsTheRest) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("ntfs.img", dir);
    const std::string boot = test::ReadFileBytes(img).substr(0, 512);
    const ByteSpan b(reinterpret_cast<const uint8_t*>(boot.data()), boot.size());
    const uint64_t mft = ReadLe64(b, 48) * ReadLe16(b, 11) * ReadU8(b, 13);
    // Records 24..31, where the first user files lie.
    const uint64_t bad = mft + 24 * 1024;
    test::FailingFile disk(dir, img, std::to_string(bad) + ":8192");
    if (!disk.Mounted()) GTEST_SKIP() << "no failing file: " << disk.Why();

    const test::ProcessResult clean = test::RunProcess({test::CliPath(), "scan", img, "--format", "json"});
    ASSERT_EQ(clean.exitCode, 0) << clean.err;
    EXPECT_EQ(clean.err.find("could not be read"), std::string::npos) << clean.err;
    const auto cleanDoc = nlohmann::json::parse(clean.out);
    EXPECT_TRUE(cleanDoc.at("unreadable").empty());

    const test::ProcessResult r = test::RunProcess({test::CliPath(), "scan", disk.Path(), "--format", "json"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("1 area (8 KiB) could not be read (bad sectors?); results that depend on it may be missing "
                         "or incomplete."),
              std::string::npos)
        << r.err;
    const auto doc = nlohmann::json::parse(r.out);
    ASSERT_EQ(doc.at("unreadable").size(), 1u) << r.out;
    EXPECT_EQ(doc["unreadable"][0].at("offset").get<uint64_t>(), bad);
    EXPECT_EQ(doc["unreadable"][0].at("length").get<uint64_t>(), 8192u);
    // What lies in other records is all there: only the bad records' own results may go.
    std::set<std::string> inodes;
    for (const auto& f : doc.at("results")) inodes.insert(f.at("inode").get<std::string>());
    size_t lost = 0;
    for (const auto& f : cleanDoc.at("results")) {
        const std::string inode = f.at("inode").get<std::string>();
        const uint64_t record = std::stoull(inode.substr(0, inode.find('-')));
        if (inodes.count(inode)) continue;
        ++lost;
        EXPECT_TRUE(record >= 24 && record < 32) << inode << " " << f.at("path");
    }
    EXPECT_LT(lost, cleanDoc.at("results").size());

    // Nothing readable at all is an error.
    test::TempDir dir2;
    test::FailingFile dead(dir2, img, "0:" + std::to_string(test::ReadFileBytes(img).size()));
    ASSERT_TRUE(dead.Mounted()) << dead.Why();
    const test::ProcessResult none = test::RunProcess({test::CliPath(), "scan", dead.Path()});
    EXPECT_EQ(none.exitCode, 1) << none.err;
}

// recover names each file that failed or was kept with unreadable parts, and says what
// --keep-damaged would do.
TEST(CliUnreadable, RecoverNamesTheFilesWithUnreadableParts) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("ntfs.img", dir);
    // holiday.jpg (record 87) starts at cluster 2562 (4 KiB clusters): its second cluster is bad.
    test::FailingFile disk(dir, img, std::to_string(2563 * 4096) + ":4096");
    if (!disk.Mounted()) GTEST_SKIP() << "no failing file: " << disk.Why();
    const test::ProcessResult failed =
        test::RunProcess({test::CliPath(), "recover", disk.Path(), "--inode", "87", "--out", dir.path() + "/out1"});
    EXPECT_EQ(failed.exitCode, 3) << failed.err;
    EXPECT_NE(failed.out.find("Recovery finished. OK: 0 Failed: 1\n  /Photos/2019/holiday.jpg: Cannot read "),
              std::string::npos)
        << failed.out;
    EXPECT_NE(failed.out.find("1 file(s) failed because parts of them could not be read; --keep-damaged keeps them"),
              std::string::npos)
        << failed.out;
    const test::ProcessResult kept = test::RunProcess(
        {test::CliPath(), "recover", disk.Path(), "--inode", "87", "--keep-damaged", "--out", dir.path() + "/out2"});
    EXPECT_EQ(kept.exitCode, 3) << kept.err;
    EXPECT_NE(kept.out.find("Recovery finished. OK: 0 Failed: 0 Damaged: 1\n"
                            "  /Photos/2019/holiday.jpg: kept with unreadable parts (4096 bytes are zeros)\n"),
              std::string::npos)
        << kept.out;
    EXPECT_EQ(kept.out.find("--keep-damaged keeps"), std::string::npos) << kept.out;
}

} // namespace
} // namespace brivo
