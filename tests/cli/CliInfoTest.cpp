#include <gtest/gtest.h>

#include <filesystem>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "TestSupport.h"
#include "cli/CliInfo.h"
#include "cli/CliMain.h"
#include "driver/FsReaders.h"

namespace brivo::cli {
namespace {

using test::RunProcess;

std::string Sector(const char* oem, bool fat32) {
    std::string s(4096, '\0');
    std::memcpy(&s[3], oem, 8);
    if (fat32) {
        s[11] = 0x00; s[12] = 0x02;  // 512 bytes per sector
        s[13] = 1;                   // sectors per cluster
        s[14] = 32;                  // reserved
        s[16] = 2;                   // FATs
        s[21] = static_cast<char>(0xF8);                 // media: fixed disk
        s[34] = 0x01;                                    // 65536 sectors in all
        s[36] = static_cast<char>(0xE8); s[37] = 0x03;  // 1000 sectors per FAT
        s[44] = 2;                   // root cluster
        std::memcpy(&s[82], "FAT32   ", 8);
        s[510] = 0x55; s[511] = static_cast<char>(0xAA);
    }
    return s;
}

TEST(CliInfo, NamesTheFileSystemOfHandMadeImages) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "ntfs.img", Sector("NTFS    ", false));
    test::WriteFileBytes(dir / "fat32.img", Sector("MSWIN4.1", true));
    test::WriteFileBytes(dir / "short \"q\".img", "NTFS");

    auto r = RunProcess({test::CliPath(), "info", dir / "ntfs.img"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Source: " + (dir / "ntfs.img") +
                         "\nContainer: raw (4.0 KiB)\nPartition table: none\nVolumes:\n  1  NTFS  4.0 KiB\n");
    EXPECT_EQ(r.err, "");

    r = RunProcess({test::CliPath(), "info", "--format", "json", dir / "fat32.img"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "{\"source\": \"" + (dir / "fat32.img") +
                         "\", \"container\": \"raw\", \"size\": 4096, \"partition_table\": \"none\", \"sector_size\": 512, "
                         "\"volumes\": [{\"index\": 1, \"start\": 0, \"length\": 8, \"size\": 4096, \"type\": \"\", "
                         "\"type_name\": \"\", \"name\": \"\", \"fs\": \"FAT32\", \"readable\": true, \"problem\": \"\"}], "
                         "\"problems\": []}\n");

    // Nothing recognised: the listing still comes, and the exit code and message say so.
    r = RunProcess({test::CliPath(), "info", "--format=json", dir / "short \"q\".img"});
    EXPECT_EQ(r.exitCode, 1);
    EXPECT_NE(r.out.find("\"source\": \"" + (dir / "short \\\"q\\\".img") + "\""), std::string::npos) << r.out;
    EXPECT_EQ(r.err, "brivo-recovery-cli: error: No partition table and no known file system was found in " + (dir / "short \"q\".img") +
                         ": it is not a disk image, or what it holds is not recognised. \"info --search\" looks for "
                         "lost volumes at every sector; \"scan --deep\" searches it for lost NTFS records and for "
                         "files by their content.\n");
}

// Every fixture, in words: its container, its table and the file system of each volume.
TEST(CliInfo, FixturesAndContainers) {
    test::TempDir dir;
    for (const char* seg : {"mbr-ext-disk.E02", "mbr-ext-disk.E03", "mbr-ext-disk.E04", "mbr-ext-disk.E05", "mbr-ext-disk.E06"})
        test::UnpackFixture(seg, dir);
    struct Case { std::string fixture; std::string container; std::string table; std::string volumes; };
    const std::vector<Case> cases = {
        {"ntfs.img", "raw", "none", "1:NTFS"},
        {"fat32.img", "raw", "none", "1:FAT32"},
        {"fat16.img", "raw", "none", "1:FAT16"},
        {"exfat.img", "raw", "none", "1:exFAT"},
        {"mbr-fat32.img", "raw", "MBR", "1:FAT32"},
        {"gpt-disk.img", "raw", "GPT", "1:FAT32 2:NTFS 3:exFAT"},
        {"gpt-disk.E01", "E01", "GPT", "1:FAT32 2:NTFS 3:exFAT"},
        {"gpt-disk.vhd", "VHD", "GPT", "1:FAT32 2:NTFS 3:exFAT"},
        {"gpt-disk.vhdx", "VHDX", "GPT", "1:FAT32 2:NTFS 3:exFAT"},
        {"gpt-disk.vmdk", "VMDK", "GPT", "1:FAT32 2:NTFS 3:exFAT"},
        {"gpt-disk.qcow2", "QCOW2", "GPT", "1:FAT32 2:NTFS 3:exFAT"},
        {"mbr-ext-disk.E01", "E01", "MBR", "1:NTFS 5:FAT32 6:NTFS"},
    };
    for (const auto& c : cases) {
        const std::string path = test::UnpackFixture(c.fixture, dir);
        const auto r = RunProcess({test::CliPath(), "info", "--format", "json", path});
        EXPECT_EQ(r.exitCode, 0) << c.fixture << ": " << r.err;
        EXPECT_NE(r.out.find("\"container\": \"" + c.container + "\""), std::string::npos) << r.out;
        EXPECT_NE(r.out.find("\"partition_table\": \"" + c.table + "\""), std::string::npos) << r.out;
        std::string vols;
        for (size_t at = 0; (at = r.out.find("{\"index\": ", at)) != std::string::npos; ++at) {
            const size_t fs = r.out.find("\"fs\": \"", at) + 7;
            vols += (vols.empty() ? "" : " ") + r.out.substr(at + 10, r.out.find(',', at) - at - 10) + ":" +
                    r.out.substr(fs, r.out.find('"', fs) - fs);
        }
        EXPECT_EQ(vols, c.volumes) << c.fixture;
    }
}

TEST(CliInfo, ThirdPartyContainers) {
    BRIVO_REQUIRE_TESTDATA(e01, "image.E01");
    BRIVO_REQUIRE_TESTDATA(vhd, "image.vhd");
    for (const std::string& path : {e01, vhd}) {
        const auto r = RunProcess({test::CliPath(), "info", "--format", "json", path});
        EXPECT_NE(r.out.find("\"container\": \""), std::string::npos) << path << ": " << r.err;
        EXPECT_EQ(r.out.find("\"container\": \"raw\""), std::string::npos) << path;
    }
}

TEST(CliInfo, SourcesThatCannotBeReadFailWithTheReason) {
    test::TempDir dir;
    struct Case { std::string source; std::string err; };
    const std::vector<Case> cases = {
        {dir / "missing.img", "brivo-recovery-cli: error: No such file or directory: " + (dir / "missing.img") + "\n"},
        // Unlike the quiet detection of a scan, info says why a device cannot be read.
        {"/dev/brivo-no-such-device", "brivo-recovery-cli: error: No such file or directory: /dev/brivo-no-such-device\n"},
        {dir.path(), "brivo-recovery-cli: error: Is a directory: " + dir.path() + "\n"},
        {dir / "empty.img", "brivo-recovery-cli: error: The source is empty (it holds no data): " + (dir / "empty.img") + "\n"},
    };
    test::WriteFileBytes(dir / "empty.img", "");
    for (const auto& c : cases) {
        const auto r = RunProcess({test::CliPath(), "info", c.source});
        EXPECT_EQ(r.exitCode, 1) << c.source;
        EXPECT_EQ(r.out, "");
        EXPECT_EQ(r.err, c.err);
    }
}

TEST(CliInfo, UnreadableSourceReportsPermissionDenied) {
    test::TempDir dir;
    const std::string img = dir / "secret.img";
    test::WriteFileBytes(img, std::string(512, '\0'));
    ASSERT_EQ(::chmod(img.c_str(), 0), 0);
    std::vector<std::string> argv = {test::CliPath(), "info", img};
    if (::geteuid() == 0) {
        // Root reads everything: run as an unprivileged user instead.
        if (::access("/usr/bin/setpriv", X_OK) != 0) GTEST_SKIP() << "needs setpriv when run as root";
        const std::vector<std::string> asNobody = {"/usr/bin/setpriv", "--reuid=65534", "--regid=65534",
                                                   "--clear-groups"};
        std::vector<std::string> probe = asNobody;
        probe.insert(probe.end(), {"/usr/bin/test", "-x", test::CliPath()});
        if (RunProcess(probe).exitCode != 0) GTEST_SKIP() << "the program is not reachable for an unprivileged user";
        argv.insert(argv.begin(), asNobody.begin(), asNobody.end());
    }
    const auto r = RunProcess(argv);
    EXPECT_EQ(r.exitCode, 1) << r.err;
    EXPECT_EQ(r.err, "brivo-recovery-cli: error: Permission denied: " + img + "\n");
}

TEST(CliInfo, SourceArgumentsNameDevicesOrFiles) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "disk.img", "x");
    EXPECT_EQ(ResolveSourceArgument("/dev/sdz9"), "/dev/sdz9");
    EXPECT_EQ(ResolveSourceArgument(dir / "disk.img"), dir / "disk.img");
    EXPECT_EQ(ResolveSourceArgument("null"), "/dev/null");  // a device name, when no such file is here
    EXPECT_EQ(ResolveSourceArgument("brivo-no-such-thing"), "brivo-no-such-thing");
    EXPECT_EQ(ResolveSourceArgument("sub/null"), "sub/null");

    // A device with nothing in it (an empty loop device, a reader with no card) says so.
    std::ostringstream out, err;
    EXPECT_EQ(RunCli({"info", "null"}, out, err), 1);
    EXPECT_EQ(err.str(), "brivo-recovery-cli: error: The source is empty (it holds no data): /dev/null\n");
}

TEST(CliInfo, CommandLineErrorsExitWithTwoAndHelpWithZero) {
    auto r = RunProcess({test::CliPath()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "brivo-recovery-cli: error: no command given\nusage: brivo-recovery-cli COMMAND [OPTIONS] [ARGUMENTS]\n");
    r = RunProcess({test::CliPath(), "info", "x", "--format", "xml"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("usage: brivo-recovery-cli info [--format text|json] [--search] [--map FILE] SOURCE\n"), std::string::npos);
    EXPECT_EQ(r.out, "");
    r = RunProcess({test::CliPath(), "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("\n  info  "), std::string::npos);
    r = RunProcess({test::CliPath(), "info", "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("usage: brivo-recovery-cli info [--format text|json] [--search] [--map FILE] SOURCE\n", 0), 0u);
}

// The help of scan and info (and so the man page made from it) names every file system
// the table gives a direct reader, and no other.
TEST(CliInfo, HelpNamesTheFileSystemsReadDirectly) {
    const std::string names = DirectFileSystemNames();
    for (const auto& r : FsReaderTable()) EXPECT_NE(names.find(FsKindName(r.Kind)), std::string::npos);
    for (const char* command : {"scan", "info"}) {
        const auto r = RunProcess({test::CliPath(), command, "--help"});
        ASSERT_EQ(r.exitCode, 0) << command;
        // The help is wrapped to the terminal: compare with the line breaks undone.
        std::string text;
        for (const char c : r.out)
            if (c != '\n' && c != ' ') text.push_back(c);
            else if (!text.empty() && text.back() != ' ') text.push_back(' ');
        EXPECT_NE(text.find(names + " are read directly"), std::string::npos) << command << ": " << r.out;
        EXPECT_EQ(text.find("FAT12/16/32"), std::string::npos) << command;
    }
}

// An image cut short is said to be so by info and scan, and still scanned; info --search on
// an image that is one volume says why it searched nothing.
TEST(CliInfo, AnImageCutShortIsFlaggedAndASearchThatDoesNotRunSaysWhy) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("fat32.img", dir);
    auto r = RunProcess({test::CliPath(), "info", "--search", img});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.out.find("Search for lost volumes: not run: the source holds one FAT32 volume from its first byte"),
              std::string::npos)
        << r.out;
    EXPECT_EQ(r.out.find("Warning"), std::string::npos) << r.out;

    std::filesystem::resize_file(img, 10u << 20);
    r = RunProcess({test::CliPath(), "info", img});
    EXPECT_NE(r.out.find("FAT32  10.0 MiB  [cut short: the source ends after 10.0 MiB of its 40.0 MiB]"),
              std::string::npos)
        << r.out;
    EXPECT_NE(r.out.find("Warning: The source ends before its FAT32 volume does"), std::string::npos) << r.out;
    r = RunProcess({test::CliPath(), "scan", img});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("Warning: The source ends before its FAT32 volume does: 10.0 MiB of its 40.0 MiB"),
              std::string::npos)
        << r.err;
    EXPECT_NE(r.out.find("Found entries: "), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("Found entries: 0"), std::string::npos) << r.out;
}

} // namespace
} // namespace brivo::cli
