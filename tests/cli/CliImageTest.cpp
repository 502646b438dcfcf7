// The image command end to end, through a real file whose reads fail with EIO in chosen
// ranges (a FUSE file system the test mounts; skipped without root or FUSE).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <thread>

#include "FailingFile.h"
#include "TestSupport.h"

namespace brivo {
namespace {

TEST(CliImage, ImagesAFileWhoseReadsFailAndNamesTheBadSectors) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("ntfs.img", dir);
    const std::string original = test::ReadFileBytes(img);
    // 64 KiB at 1 MiB and one sector further on.
    const uint64_t a = 1 << 20, b = 3 << 20;
    test::FailingFile disk(dir, img, std::to_string(a) + ":65536," + std::to_string(b + 100) + ":1");
    if (!disk.Mounted()) GTEST_SKIP() << "no failing file: " << disk.Why();

    const test::ProcessResult r = test::RunProcess({test::CliPath(), "image", disk.Path(), dir / "out.img"});
    EXPECT_EQ(r.exitCode, 3) << r.out << r.err;
    EXPECT_NE(r.out.find("2 areas (64.5 KiB) could not be read"), std::string::npos) << r.out;
    const std::string got = test::ReadFileBytes(dir / "out.img");
    ASSERT_EQ(got.size(), original.size());
    for (size_t i = 0; i < got.size(); ++i) {
        const bool bad = (i >= a && i < a + 65536) || (i >= b && i < b + 512);
        ASSERT_EQ(got[i], bad ? '\0' : original[i]) << "byte " << i;
    }

    // ddrescue reads the map, and copying the same file itself it finds the same.
    const test::ProcessResult log = test::RunProcess({"ddrescuelog", "-b512", "-l-", dir / "out.img.map"});
    if (log.exitCode != 0 && log.err.find("No such file") != std::string::npos) GTEST_SKIP() << "no ddrescue";
    ASSERT_EQ(log.exitCode, 0) << log.err;
    const test::ProcessResult peer =
        test::RunProcess({"ddrescue", "-q", "-b512", disk.Path(), dir / "peer.img", dir / "peer.map"});
    ASSERT_EQ(peer.exitCode, 0) << peer.err;
    EXPECT_EQ(test::ReadFileBytes(dir / "peer.img"), got);
    EXPECT_EQ(test::RunProcess({"ddrescuelog", "-b512", "-l-", dir / "peer.map"}).out, log.out);

    // Run again with the same map: nothing left but the bad sectors, tried once more.
    const test::ProcessResult again = test::RunProcess({test::CliPath(), "image", disk.Path(), dir / "out.img"});
    EXPECT_EQ(again.exitCode, 3) << again.err;
    EXPECT_NE(again.out.find("Image continued"), std::string::npos) << again.out;
    EXPECT_EQ(test::ReadFileBytes(dir / "out.img"), got);

    // The image is a clean disk for the scan.
    EXPECT_EQ(test::RunProcess({test::CliPath(), "scan", dir / "out.img"}).exitCode, 0);
}

TEST(CliImage, RefusesToReplaceAnImageWithoutItsMap) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("fat12.img", dir);
    test::WriteFileBytes(dir / "out.img", "precious");
    const test::ProcessResult r = test::RunProcess({test::CliPath(), "image", img, dir / "out.img"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.err.find("already exists"), std::string::npos) << r.err;
    EXPECT_EQ(test::ReadFileBytes(dir / "out.img"), "precious");
    EXPECT_EQ(test::RunProcess({test::CliPath(), "image", img, img}).exitCode, 1);

    // A volume of a partitioned disk, by number.
    const std::string disk = test::UnpackFixture("gpt-disk.img", dir);
    const test::ProcessResult v = test::RunProcess({test::CliPath(), "image", disk, dir / "v2.img", "--volume", "2"});
    EXPECT_EQ(v.exitCode, 0) << v.err;
    struct stat st {};
    ASSERT_EQ(::stat((dir / "v2.img").c_str(), &st), 0);
    EXPECT_GT(st.st_size, 0);
    EXPECT_LT(static_cast<uint64_t>(st.st_size), test::ReadFileBytes(disk).size());
}

} // namespace
} // namespace brivo
