#include <gtest/gtest.h>

#include <cstring>

#include "TestSupport.h"

namespace brivo::cli {
namespace {

using test::RunProcess;

// A disk whose MBR and logical volume tables were zeroed: info finds its volumes, and
// one of them scans and recovers by its number like a table's volume.
TEST(CliLostVolumes, AZeroedTableStillListsScansAndRecovers) {
    test::TempDir dir;
    const std::string intact = test::UnpackFixture("mbr-ext-disk.img", dir);
    std::string disk = test::ReadFileBytes(intact);
    const uint64_t ext = 26624;
    uint32_t next = 0;
    std::memcpy(&next, disk.data() + ext * 512 + 446 + 16 + 8, 4);
    for (uint64_t s : {uint64_t{0}, ext, ext + next}) std::memset(disk.data() + s * 512, 0, 512);
    const std::string lost = dir / "lost.img";
    test::WriteFileBytes(lost, disk);

    auto r = RunProcess({test::CliPath(), "info", lost});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("  3  NTFS  12.0 MiB  found by search (boot sector and backup)  (sectors 112640-137215)\n"),
              std::string::npos) << r.out;
    r = RunProcess({test::CliPath(), "info", "--search", "--format", "json", lost});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"search\": \"every sector\""), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("\"index\": 2, \"start\": 28672, \"length\": 81920, \"size\": 41943040, \"type\": \"\", "
                         "\"type_name\": \"\", \"name\": \"\", \"fs\": \"FAT32\", \"readable\": true, \"problem\": \"\", "
                         "\"found_by_search\": true, \"evidence\": \"boot sector and backup\"}"),
              std::string::npos) << r.out;

    const auto a = RunProcess({test::CliPath(), "scan", "--volume", "2", "--format", "tsv", lost});
    const auto b = RunProcess({test::CliPath(), "scan", "--volume", "5", "--format", "tsv", intact});
    EXPECT_EQ(a.exitCode, 0) << a.err;
    EXPECT_EQ(a.out, b.out);

    const std::string out = dir / "out";
    r = RunProcess({test::CliPath(), "recover", "--volume", "3", "--all", "--out", out, lost});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const auto& m : test::ReadManifest("mbr-ext-disk.vol6")) {
        const auto found = RunProcess({"/usr/bin/find", out, "-type", "f", "-size", std::to_string(m.size) + "c"});
        std::string md5s;
        for (size_t at = 0, end; (end = found.out.find('\n', at)) != std::string::npos; at = end + 1)
            md5s += test::Md5OfFile(found.out.substr(at, end - at)) + " ";
        EXPECT_NE(md5s.find(m.md5), std::string::npos) << m.path;
    }
}

// A GPT disk whose tables and whose NTFS volume's two boot sectors are all zeroed: the
// space the volume fills is listed, a fast scan of it says what a deep scan does, and the
// deep scan brings its files back at their paths from the records alone.
TEST(CliLostVolumes, AVolumeWithoutBootSectorsRecoversByADeepScan) {
    test::TempDir dir;
    std::string disk = test::ReadFileBytes(test::UnpackFixture("gpt-disk.img", dir));
    const uint64_t sectors = disk.size() / 512;
    for (const auto& [first, count] : std::vector<std::pair<uint64_t, uint64_t>>{
             {0, 34}, {sectors - 33, 33}, {75776, 1}, {75776 + 32767, 1}})
        std::memset(disk.data() + first * 512, 0, count * 512);
    const std::string lost = dir / "lost.img";
    test::WriteFileBytes(lost, disk);

    auto r = RunProcess({test::CliPath(), "info", lost});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("  3  unknown file system  16.0 MiB  unallocated space  (sectors 75776-108543)\n"),
              std::string::npos) << r.out;
    r = RunProcess({test::CliPath(), "scan", "--volume", "3", lost});
    EXPECT_NE(r.exitCode, 0);
    EXPECT_NE(r.err.find("A deep scan still searches it for lost NTFS records"), std::string::npos) << r.err;

    const std::string out = dir / "out";
    r = RunProcess({test::CliPath(), "recover", "--deep", "--volume", "3", "--all", "--out", out, lost});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    const auto manifest = test::ReadManifest("gpt-disk.vol2");
    ASSERT_FALSE(manifest.empty());
    for (const auto& m : manifest) EXPECT_EQ(test::Md5OfFile(out + m.path), m.md5) << m.path;
}

} // namespace
} // namespace brivo::cli
