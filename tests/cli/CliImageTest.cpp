// The image command end to end, through a real file whose reads fail with EIO in chosen
// ranges (a FUSE file system the test mounts; skipped without root or FUSE).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
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

// An image copied from a disk whose first FAT could not be read holds zeros there; with
// the copy's map beside it (or named with --map) the scan reads that FAT as unreadable and
// takes the second copy, as it does on the disk itself.
TEST(CliImage, AnImageWithItsMapScansLikeTheFailingDisk) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("fat16.img", dir);
    std::string bytes = test::ReadFileBytes(img);
    auto le16 = [&](size_t at) { return static_cast<uint64_t>(static_cast<uint8_t>(bytes[at])) | static_cast<uint64_t>(static_cast<uint8_t>(bytes[at + 1])) << 8; };
    const uint64_t fat = le16(14) * le16(11);
    const uint64_t fatBytes = le16(22) * le16(11);
    ASSERT_EQ(bytes[16], 2);
    auto scan = [&](const std::vector<std::string>& extra) {
        std::vector<std::string> argv = {test::CliPath(), "scan", "--format", "tsv", "--show-hidden"};
        argv.insert(argv.end(), extra.begin(), extra.end());
        return test::RunProcess(argv);
    };
    const test::ProcessResult clean = scan({img});
    ASSERT_EQ(clean.exitCode, 0) << clean.err;

    // What the copy made of it: the first FAT zeros, marked bad in the map.
    std::fill(bytes.begin() + static_cast<std::ptrdiff_t>(fat), bytes.begin() + static_cast<std::ptrdiff_t>(fat + fatBytes), '\0');
    const std::string copy = dir / "copy.img";
    test::WriteFileBytes(copy, bytes);
    char map[256];
    std::snprintf(map, sizeof map, "0 +\n0 %llu +\n%llu %llu -\n%llu %llu +\n", static_cast<unsigned long long>(fat),
                  static_cast<unsigned long long>(fat), static_cast<unsigned long long>(fatBytes),
                  static_cast<unsigned long long>(fat + fatBytes),
                  static_cast<unsigned long long>(bytes.size() - fat - fatBytes));
    // Without the map the zeros are taken for the FAT: the listing differs.
    EXPECT_NE(scan({copy}).out, clean.out);

    test::WriteFileBytes(copy + ".map", map);
    const test::ProcessResult beside = scan({copy});
    EXPECT_EQ(beside.out, clean.out) << beside.err;
    ::unlink((copy + ".map").c_str());
    test::WriteFileBytes(dir / "elsewhere.map", map);
    const test::ProcessResult named = scan({copy, "--map", dir / "elsewhere.map"});
    EXPECT_EQ(named.out, clean.out) << named.err;

    // A map of something else: named, it is refused; found beside the image, it is not used.
    test::WriteFileBytes(dir / "other.map", "0 +\n0 4096 -\n");
    const test::ProcessResult refused = scan({copy, "--map", dir / "other.map"});
    EXPECT_EQ(refused.exitCode, 1);
    EXPECT_NE(refused.err.find("not this image's map"), std::string::npos) << refused.err;
    test::WriteFileBytes(dir / "plain.img", test::ReadFileBytes(img));
    test::WriteFileBytes(dir / "plain.img.map", "0 +\n0 4096 -\n");
    EXPECT_EQ(scan({dir / "plain.img"}).out, clean.out);
}

} // namespace
} // namespace brivo
