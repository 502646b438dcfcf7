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

} // namespace
} // namespace brivo::cli
