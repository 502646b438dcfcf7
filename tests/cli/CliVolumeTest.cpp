#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>

#include "TestSupport.h"

namespace brivo::cli {
namespace {

using test::RunProcess;

TEST(CliVolume, APartitionedSourceNeedsAVolumeWhenItHoldsSeveral) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("gpt-disk.img", dir);

    auto r = RunProcess({test::CliPath(), "scan", img});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.out, "");
    EXPECT_EQ(r.err, "brivo-recovery-cli: error: " + img + " holds 3 volumes. Choose the one to scan:\n"
                     "  1  FAT32  36.0 MiB  Microsoft basic data  \"Photos\"  (sectors 2048-75775)\n"
                     "  2  NTFS  16.0 MiB  Microsoft basic data  \"Data\"  (sectors 75776-108543)\n"
                     "  3  exFAT  8.0 MiB  Microsoft basic data  \"Backup\"  (sectors 108544-124927)\n"
                     "Choose one with --volume N.\n");

    struct Bad { std::string value; std::string err; };
    for (const Bad& b : {Bad{"0", "--volume takes a volume number"}, Bad{"x1", "--volume takes a volume number"},
                         Bad{"4", img + " has no volume 4. Its volumes:\n  1  FAT32"}}) {
        r = RunProcess({test::CliPath(), "scan", "--volume", b.value, img});
        EXPECT_EQ(r.exitCode, 2) << b.value;
        EXPECT_NE(r.err.find(b.err), std::string::npos) << r.err;
    }

    // The chosen volume is named in the JSON results.
    r = RunProcess({test::CliPath(), "scan", "--volume", "2", "--format", "json", img});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out.rfind("{\"source\": \"" + img + "\", \"where\": \"image\", \"volume\": 2, \"fs_switch\": \"ntfs\", "
                          "\"route\": \"ntfs\", \"stopped\": false, \"count\": 3,", 0), 0u) << r.out;

    // A disk with a single volume needs no --volume.
    r = RunProcess({test::CliPath(), "scan", "--format", "json", test::UnpackFixture("mbr-fat32.img", dir)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"volume\": 1, \"fs_switch\": \"fat\", \"route\": \"fat32\""), std::string::npos) << r.out;
    // So does a source without a partition table: it is volume 1 to 'info' too.
    r = RunProcess({test::CliPath(), "scan", "--format", "json", test::UnpackFixture("fat16.img", dir)});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("\"volume\": 1, \"fs_switch\": \"fat\""), std::string::npos) << r.out;
}

// A damaged table is a bad source (exit 1); a volume number that is not in it is bad usage
// (exit 2, the volumes listed).
TEST(CliVolume, ADamagedTableIsABadSource) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("gpt-disk.img", dir);
    // Cut inside volume 3: it now ends past the end of the source.
    ASSERT_EQ(::truncate(img.c_str(), 120000LL * 512), 0);
    struct Case { std::vector<std::string> args; int exitCode; std::string err; };
    const Case cases[] = {
        {{"scan", "--volume", "3", img}, 1, "Volume 3 of " + img},
        {{"recover", "--volume", "3", "--all", "--out", dir / "out", img}, 1, "Volume 3 of " + img},
        {{"scan", "--volume", "7", img}, 2, img + " has no volume 7. Its volumes:\n  1  FAT32"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{test::CliPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = RunProcess(argv);
        EXPECT_EQ(r.exitCode, c.exitCode) << c.args[0] << " " << c.args[2] << ": " << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
    }
}

TEST(CliVolume, RecoverFromAVolumeInsideAContainer) {
    test::TempDir dir;
    const std::string e01 = test::UnpackFixture("gpt-disk.E01", dir);
    for (const char* v : {"1", "2", "3"}) {
        SCOPED_TRACE(std::string("volume ") + v);
        const std::string out = dir / (std::string("out") + v);
        const auto r = RunProcess({test::CliPath(), "recover", "--volume", v, "--all", "--out", out, e01});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        for (const auto& m : test::ReadManifest(std::string("gpt-disk.vol") + v)) {
            // A deleted FAT short name lost its first letter: found by the rest of it.
            const auto found = RunProcess({"/usr/bin/find", out, "-type", "f", "-size", std::to_string(m.size) + "c"});
            std::string md5s;
            for (size_t at = 0, end; (end = found.out.find('\n', at)) != std::string::npos; at = end + 1)
                md5s += test::Md5OfFile(found.out.substr(at, end - at)) + " ";
            EXPECT_NE(md5s.find(m.md5), std::string::npos) << m.path;
        }
    }
}

// The Recycle Bin pass runs icat on the volume, so it must find the volume inside the
// disk as the scan did.
TEST(CliVolume, RecycleBinOfAVolumeInsideADisk) {
    test::TempDir dir;
    const std::string ntfs = test::ReadFileBytes(test::UnpackFixture("ntfs.img", dir));
    std::string disk(2048 * 512, '\0');
    const uint32_t sectors = static_cast<uint32_t>(ntfs.size() / 512);
    const unsigned char slot[16] = {0, 0, 0, 0, 0x07, 0, 0, 0, 0x00, 0x08, 0, 0, static_cast<unsigned char>(sectors),
                                    static_cast<unsigned char>(sectors >> 8), static_cast<unsigned char>(sectors >> 16),
                                    static_cast<unsigned char>(sectors >> 24)};
    disk.replace(446, 16, reinterpret_cast<const char*>(slot), 16);
    disk[510] = 0x55;
    disk[511] = static_cast<char>(0xAA);
    test::WriteFileBytes(dir / "disk.img", disk + ntfs);

    const auto r = RunProcess({test::CliPath(), "scan", "--format", "tsv", "--where", "recycle", dir / "disk.img"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    // The original Windows path of a $I record, whatever the separator it is shown with.
    std::string out = r.out;
    std::replace(out.begin(), out.end(), '\\', '/');
    EXPECT_NE(out.find("\tC:/Users/Bob/Documents/budget.xlsx\t"), std::string::npos) << r.out;
}

TEST(CliVolume, BadSourcesExitWithTheirReason) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "empty.img", "");
    struct Case { std::vector<std::string> args; std::string err; };
    const std::vector<Case> cases = {
        {{"scan", "missing.img"}, "brivo-recovery-cli: error: No such file or directory: missing.img\n"},
        {{"scan", dir / "empty.img"}, "brivo-recovery-cli: error: The source is empty (it holds no data): " + (dir / "empty.img") + "\n"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv = {test::CliPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        const auto r = RunProcess(argv);
        EXPECT_EQ(r.exitCode, 1) << c.err;
        EXPECT_EQ(r.err.rfind(c.err, 0), 0u) << r.err;
    }
}

} // namespace
} // namespace brivo::cli
