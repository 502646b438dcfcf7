#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <sstream>

#include "TestSupport.h"
#include "cli/CliInfo.h"
#include "cli/CliMain.h"

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
        s[36] = static_cast<char>(0xE8); s[37] = 0x03;  // 1000 sectors per FAT
        s[44] = 2;                   // root cluster
        std::memcpy(&s[82], "FAT32   ", 8);
        s[510] = 0x55; s[511] = static_cast<char>(0xAA);
    }
    return s;
}

std::string JsonLine(const std::string& src, int kind, const char* name, const char* sw) {
    return "{\"source\": \"" + src + "\", \"kind\": " + std::to_string(kind) + ", \"name\": \"" + name +
           "\", \"fs_switch\": \"" + sw + "\"}\n";
}

TEST(CliInfo, NamesTheFileSystemOfHandMadeImages) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "ntfs.img", Sector("NTFS    ", false));
    test::WriteFileBytes(dir / "fat32.img", Sector("MSWIN4.1", true));
    test::WriteFileBytes(dir / "short \"q\".img", "NTFS");

    auto r = RunProcess({test::CliPath(), "info", dir / "ntfs.img"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Source: " + (dir / "ntfs.img") + "\nFile system: NTFS\nSwitch: -f ntfs\n");
    EXPECT_EQ(r.err, "");

    r = RunProcess({test::CliPath(), "info", "--format", "json", dir / "fat32.img"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, JsonLine(dir / "fat32.img", 2, "FAT32", " -f fat"));

    r = RunProcess({test::CliPath(), "info", "--format=json", dir / "short \"q\".img"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, JsonLine(dir / "short \\\"q\\\".img", 0, "not recognised", ""));

    r = RunProcess({test::CliPath(), "info", dir / "short \"q\".img"});
    EXPECT_EQ(r.out, "Source: " + (dir / "short \"q\".img") + "\nFile system: not recognised\nSwitch: (none)\n");
}

TEST(CliInfo, FixturesAndContainers) {
    test::TempDir dir;
    struct Case { std::string path; int kind; const char* name; const char* sw; };
    const std::vector<Case> cases = {
        {test::UnpackFixture("ntfs.img", dir), 1, "NTFS", " -f ntfs"},
        {test::UnpackFixture("fat32.img", dir), 2, "FAT32", " -f fat"},
        {test::UnpackFixture("fat16.img", dir), 0, "not recognised", ""},
        {test::UnpackFixture("exfat.img", dir), 0, "not recognised", ""},
        {test::UnpackFixture("mbr-fat32.img", dir), 0, "not recognised", ""},  // a partition table, not a volume
        {test::SharedTestData("image.E01"), 0, "not recognised", ""},
        {test::SharedTestData("image.vhd"), 0, "not recognised", ""},
    };
    for (const auto& c : cases) {
        const auto r = RunProcess({test::CliPath(), "info", "--format", "json", c.path});
        EXPECT_EQ(r.exitCode, 0) << c.path << ": " << r.err;
        EXPECT_EQ(r.out, JsonLine(c.path, c.kind, c.name, c.sw));
    }
}

TEST(CliInfo, SourcesThatCannotBeReadFailWithTheReason) {
    test::TempDir dir;
    struct Case { std::string source; std::string err; };
    const std::vector<Case> cases = {
        {dir / "missing.img", "ERROR: No such file or directory: " + (dir / "missing.img") + "\n"},
        // Unlike the quiet detection of a scan, info says why a device cannot be read.
        {"/dev/brivo-no-such-device", "ERROR: No such file or directory: /dev/brivo-no-such-device\n"},
        {dir.path(), "ERROR: Is a directory: " + dir.path() + "\n"},
    };
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
    EXPECT_EQ(r.err, "ERROR: Permission denied: " + img + "\n");
}

TEST(CliInfo, SourceArgumentsNameDevicesOrFiles) {
    test::TempDir dir;
    test::WriteFileBytes(dir / "disk.img", "x");
    EXPECT_EQ(ResolveSourceArgument("/dev/sdz9"), "/dev/sdz9");
    EXPECT_EQ(ResolveSourceArgument(dir / "disk.img"), dir / "disk.img");
    EXPECT_EQ(ResolveSourceArgument("null"), "/dev/null");  // a device name, when no such file is here
    EXPECT_EQ(ResolveSourceArgument("brivo-no-such-thing"), "brivo-no-such-thing");
    EXPECT_EQ(ResolveSourceArgument("sub/null"), "sub/null");

    std::ostringstream out, err;
    EXPECT_EQ(RunCli({"info", "null"}, out, err), 0);
    EXPECT_EQ(out.str(), "Source: /dev/null\nFile system: not recognised\nSwitch: (none)\n");
}

TEST(CliInfo, CommandLineErrorsExitWithTwoAndHelpWithZero) {
    auto r = RunProcess({test::CliPath()});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_EQ(r.err, "brivo-recovery-cli: error: no command given\nusage: brivo-recovery-cli COMMAND [OPTIONS] [ARGUMENTS]\n");
    r = RunProcess({test::CliPath(), "info", "x", "--format", "xml"});
    EXPECT_EQ(r.exitCode, 2);
    EXPECT_NE(r.err.find("usage: brivo-recovery-cli info [--format text|json] SOURCE\n"), std::string::npos);
    EXPECT_EQ(r.out, "");
    r = RunProcess({test::CliPath(), "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_NE(r.out.find("\n  info  "), std::string::npos);
    r = RunProcess({test::CliPath(), "info", "--help"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out.rfind("usage: brivo-recovery-cli info [--format text|json] SOURCE\n", 0), 0u);
}

} // namespace
} // namespace brivo::cli
