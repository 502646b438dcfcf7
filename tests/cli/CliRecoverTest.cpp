#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <cstring>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <thread>

#include "TestSupport.h"
#include "core/Sha256.h"


namespace fs = std::filesystem;

namespace brivo {
namespace {

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> out;
    std::istringstream in(text);
    for (std::string l; std::getline(in, l);)
        if (!l.empty()) out.push_back(l);
    return out;
}

// The value of "key": "..." in one report line (enough for the plain texts used here).
std::string Field(const std::string& line, const std::string& key) {
    const std::string tag = "\"" + key + "\": ";
    const size_t at = line.find(tag);
    if (at == std::string::npos) return "<missing>";
    const size_t v = at + tag.size();
    if (line.compare(v, 4, "null") == 0) return "null";
    if (line[v] != '"') return line.substr(v, line.find_first_of(",}", v) - v);
    return line.substr(v + 1, line.find('"', v + 1) - v - 1);
}

std::string Sha256OfFile(const std::string& path) {
    const std::string bytes = test::ReadFileBytes(path);
    return Sha256Hex({reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()});
}

// recover --report on an image the engine lists: one line per result naming the file
// written and the hash of its bytes; a second run into the same folder adds copies.
TEST(CliRecover, ReportAndNothingOverwrittenOnARerun) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("exfat.img", dir);
    const std::string out = dir / "out", report = dir / "report.jsonl";
    const auto run = [&] {
        return test::RunProcess({test::CliPath(), "recover", "--masks", "?*", "--out", out, "--all", "--report",
                                 report, img});
    };
    const auto first = run();
    ASSERT_EQ(first.exitCode, 0) << first.err;
    const auto lines = Lines(test::ReadFileBytes(report));
    ASSERT_FALSE(lines.empty());
    EXPECT_NE(first.out.find("Recovery finished. OK: " + std::to_string(lines.size()) + " Failed: 0"),
              std::string::npos);
    for (const auto& l : lines) {
        SCOPED_TRACE(l);
        EXPECT_EQ(Field(l, "outcome"), "ok");
        EXPECT_EQ(Field(l, "error"), "null");
        const std::string file = Field(l, "output");
        EXPECT_EQ(file.rfind(out + "/", 0), 0u);
        EXPECT_EQ(Field(l, "sha256"), Sha256OfFile(file));
        EXPECT_EQ(Field(l, "size"), std::to_string(fs::file_size(file)));
        EXPECT_NE(Field(l, "address"), "<missing>");
        EXPECT_NE(Field(l, "path"), "<missing>");
    }

    const auto second = run();
    ASSERT_EQ(second.exitCode, 0) << second.err;
    const auto again = Lines(test::ReadFileBytes(report));  // the report is replaced, the files are not
    ASSERT_EQ(again.size(), lines.size());
    for (size_t i = 0; i < lines.size(); ++i) {
        const std::string a = Field(lines[i], "output"), b = Field(again[i], "output");
        EXPECT_NE(a, b);
        EXPECT_TRUE(fs::exists(a));
        EXPECT_NE(b.find(" (2)"), std::string::npos) << b;
        EXPECT_EQ(Field(lines[i], "sha256"), Field(again[i], "sha256"));
    }
}

// Each recovered file carries the modification time the scan showed for its result, on
// the NTFS and the FAT32 route alike (read in UTC so the shown time is the stored one).
// An output folder on a file system mounted from the image being scanned (a loop mount
// here) is refused before anything is written, --allow-same-volume or not: every file
// written there would change the image.
TEST(CliRecover, OutputOnALoopMountOfTheSourceImageIsRefused) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("ext4-deleted.img", dir);
    const std::string mnt = dir / "mnt";
    test::ImageMount loop(img, mnt);
    if (!loop.Mounted()) GTEST_SKIP() << "loop devices are not available: " << loop.Why();
    for (const bool allow : {false, true}) {
        std::vector<std::string> argv{test::CliPath(), "recover", "--deep", "--out", mnt + "/out", "--all", img};
        if (allow) argv.insert(argv.begin() + 2, "--allow-same-volume");
        const auto r = test::RunProcess(argv);
        EXPECT_EQ(r.exitCode, 1) << r.err;
        EXPECT_NE(r.err.find("error: The output folder " + mnt + "/out is on a file system stored in " + img +
                             ", the image being scanned."),
                  std::string::npos)
            << r.err;
        EXPECT_FALSE(fs::exists(mnt + "/out"));
    }
    // Nor is the image copied into itself.
    const auto image = test::RunProcess({test::CliPath(), "image", img, mnt + "/copy.img"});
    EXPECT_EQ(image.exitCode, 1) << image.err;
    EXPECT_NE(image.err.find("is on a file system stored in " + img + ", the image being copied."), std::string::npos)
        << image.err;
    EXPECT_FALSE(fs::exists(mnt + "/copy.img"));
    // Beside the image is fine.
    const auto ok = test::RunProcess({test::CliPath(), "recover", "--deep", "--out", dir / "out", "--all", img});
    EXPECT_EQ(ok.exitCode, 0) << ok.err;
    EXPECT_NE(ok.out.find("Recovery finished. OK: 6 Failed: 0"), std::string::npos) << ok.out;
}

// Deleted NTFS names longer than a Linux name holds (200 Cyrillic letters, 404 bytes; a
// 300-byte folder name) come back whole under shortened names, the report keeping the
// original path and saying the name was shortened.
TEST(CliRecover, NamesTooLongForLinuxAreShortened) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("ntfs-longnames.img", dir);
    const std::string out = dir / "out", report = dir / "report.jsonl";
    const auto r = test::RunProcess({test::CliPath(), "recover", "--all", "--out", out, "--report", report, img});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto manifest = test::ReadManifest("ntfs-longnames");
    ASSERT_EQ(manifest.size(), 4u);
    const auto lines = Lines(test::ReadFileBytes(report));
    ASSERT_EQ(lines.size(), manifest.size());
    for (const auto& m : manifest) {
        SCOPED_TRACE(m.path);
        const auto line = std::find_if(lines.begin(), lines.end(), [&](const std::string& l) { return Field(l, "path") == m.path; });
        ASSERT_NE(line, lines.end());
        EXPECT_EQ(Field(*line, "outcome"), "ok");
        const std::string file = Field(*line, "output");
        EXPECT_EQ(test::Md5OfFile(file), m.md5);
        for (const auto& part : fs::path(file)) EXPECT_LE(part.string().size(), 255u);
        EXPECT_EQ(Field(*line, "note"), "name shortened: Linux allows 255 bytes in a name");
    }
}

// The JSON gives each result's creation time beside its modification time, where the
// file system kept one (ext4's crtime, FAT's creation stamp, NTFS's $STANDARD_INFORMATION).
TEST(CliScan, JsonGivesTheCreationTimeWhereTheFileSystemKeptOne) {
    ::setenv("TZ", "UTC", 1);
    const struct {
        const char* image;
        const char* path;
        const char* created;  // the one result's, with path
    } cases[] = {
        {"ext4-home", "/Projects/website/index.html", "2026-12-11T09:47:42+00:00"},
        {"fat32", nullptr, nullptr},
        {"ntfs", "/Users/Bob/Documents/report.docx", "2026-12-10T06:53:16+00:00"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        test::TempDir dir;
        const std::string img = test::UnpackFixture(std::string(c.image) + ".img", dir);
        const auto scan = test::RunProcess({test::CliPath(), "scan", "--masks", "*", "--format", "json", img});
        ASSERT_EQ(scan.exitCode, 0) << scan.err;
        const std::regex entry(R"re("path": "([^"]*)"[^}]*?"modified": ("[^"]*"|null), "created": ("[^"]*"|null))re");
        size_t listed = 0, created = 0;
        bool found = false;
        for (auto it = std::sregex_iterator(scan.out.begin(), scan.out.end(), entry); it != std::sregex_iterator(); ++it) {
            ++listed;
            if ((*it)[3] != "null") ++created;
            if (c.path && (*it)[1] == c.path) {
                found = true;
                EXPECT_EQ((*it)[3], std::string("\"") + c.created + "\"");
            }
        }
        ASSERT_GT(listed, 0u) << scan.out;
        if (c.path) {
            EXPECT_TRUE(found);
        }
        EXPECT_EQ(created, listed);  // every entry of these volumes kept one
    }
}

TEST(CliRecover, RecoveredFilesKeepTheirTimes) {
    ::setenv("TZ", "UTC", 1);
    for (const char* image : {"ntfs", "fat32"}) {
        SCOPED_TRACE(image);
        test::TempDir dir;
        const std::string img = test::UnpackFixture(std::string(image) + ".img", dir);
        const auto scan = test::RunProcess({test::CliPath(), "scan", "--masks", "*", "--format", "json", img});
        ASSERT_EQ(scan.exitCode, 0) << scan.err;
        std::map<std::string, std::string> modified;  // address -> "yyyy-mm-ddThh:nn:ss"
        const std::regex entry(R"re("inode": "([^"]*)"[^}]*?"modified": "(\d{4}-\d\d-\d\dT\d\d:\d\d:\d\d))re");
        for (auto it = std::sregex_iterator(scan.out.begin(), scan.out.end(), entry); it != std::sregex_iterator(); ++it)
            modified[(*it)[1]] = (*it)[2];
        ASSERT_FALSE(modified.empty()) << scan.out;

        const std::string out = dir / "out", report = dir / "report.jsonl";
        const auto rec = test::RunProcess(
            {test::CliPath(), "recover", "--masks", "*", "--all", "--report", report, "--out", out, img});
        ASSERT_EQ(rec.exitCode, 0) << rec.err;
        size_t checked = 0;
        for (const auto& l : Lines(test::ReadFileBytes(report))) {
            const auto m = modified.find(Field(l, "address"));
            if (m == modified.end()) continue;
            std::tm tm{};
            ASSERT_NE(::strptime(m->second.c_str(), "%Y-%m-%dT%H:%M:%S", &tm), nullptr);
            struct stat st {};
            ASSERT_EQ(::stat(Field(l, "output").c_str(), &st), 0) << l;
            EXPECT_NEAR(static_cast<double>(st.st_mtim.tv_sec), static_cast<double>(::timegm(&tm)), 1.0) << l;
            ++checked;
        }
        EXPECT_EQ(checked, modified.size());
    }
}

// Ending a recovery while a file is being copied, as a terminal does (the signal goes to
// the whole process group): Ctrl-C stops the batch, the file counted as stopped, not failed;
// SIGTERM ends the program. Either way no part-written file is left and the report holds
// whole lines. A stand-in icat (first on PATH, where the engine folder looks) writes a
// little and then hangs.
TEST(CliRecover, InterruptOrTerminateDuringACopy) {
    if (::access("/sbin/mke2fs", X_OK) != 0 || ::access("/sbin/debugfs", X_OK) != 0)
        GTEST_SKIP() << "mke2fs and debugfs (e2fsprogs) are needed to make the ext2 volume";
    struct Case { int sig; bool exited; int code; };
    for (const Case& c : {Case{SIGINT, true, 3}, Case{SIGTERM, false, SIGTERM}}) {
        SCOPED_TRACE(strsignal(c.sig));
        test::TempDir dir;
        // An ext2 volume whose deleted files' block maps point past its end: our reader lists
        // them and hands their copy to icat, as it does for any map it cannot follow.
        const std::string img = dir / "ext2.img", tree = dir / "tree";
        fs::create_directories(tree + "/sub");
        test::WriteFileBytes(tree + "/sub/a.txt", std::string(50000, 'a'));
        test::WriteFileBytes(tree + "/b.txt", std::string(30000, 'b'));
        ASSERT_EQ(test::RunProcess({"/sbin/mke2fs", "-q", "-F", "-t", "ext2", "-d", tree, img, "4M"}).exitCode, 0);
        for (const char* gone : {"sif /sub/a.txt block[0] 99999999", "sif /b.txt block[0] 99999999", "rm /sub/a.txt",
                                 "rm /b.txt"})
            ASSERT_EQ(test::RunProcess({"/sbin/debugfs", "-w", "-R", gone, img}).exitCode, 0);
        const std::string bin = dir / "bin";
        ASSERT_EQ(::mkdir(bin.c_str(), 0700), 0);
        test::WriteFileBytes(bin + "/icat", "#!/bin/sh\nprintf partial\nexec sleep 30\n");
        ASSERT_EQ(::chmod((bin + "/icat").c_str(), 0700), 0);

        const std::vector<std::string> env = test::EnvironmentWith(
            {"PATH=" + bin + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")});
        const std::string cli = test::CliPath(), out = dir / "out", report = dir / "report.jsonl";
        const std::string outFile = dir / "stdout.txt", errFile = dir / "stderr.txt";
        const pid_t pid = test::SpawnWithDefaultSignals(
            {cli, "recover", "-v", "--masks", "?*", "--out", out, "--all", "--report", report, img}, env,
            test::SpawnOutput::File(outFile), test::SpawnOutput::File(errFile), {SIGINT, SIGTERM});
        ASSERT_GT(pid, 0);

        // Wait until the first extraction runs, then signal.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (test::ReadFileBytes(errFile).find("/icat\" ") == std::string::npos &&
               std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        const auto sent = std::chrono::steady_clock::now();
        ::kill(-pid, c.sig);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_LT(std::chrono::steady_clock::now() - sent, std::chrono::seconds(5));

        // Nothing partial: the folders on the way may exist, no file does.
        for (const auto& e : fs::recursive_directory_iterator(out)) EXPECT_FALSE(e.is_regular_file()) << e.path();
        const std::string written = test::ReadFileBytes(report);
        EXPECT_TRUE(written.empty() || written.back() == '\n') << written;
        if (!c.exited) {
            // Ended by its own handler, which exits with 128 + the signal's number.
            ASSERT_TRUE(WIFEXITED(status));
            EXPECT_EQ(WEXITSTATUS(status), 128 + c.sig);
            continue;
        }
        ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal";
        EXPECT_EQ(WEXITSTATUS(status), c.code);
        const std::string said = test::ReadFileBytes(outFile);
        EXPECT_NE(said.find("Recovery stopped. OK: 0 Failed: 0"), std::string::npos) << said;
        EXPECT_NE(said.find("Stopped: "), std::string::npos) << said;
        const auto lines = Lines(written);
        ASSERT_EQ(lines.size(), 1u);
        EXPECT_EQ(Field(lines[0], "outcome"), "stopped");
        EXPECT_EQ(Field(lines[0], "output"), "null");
    }
}

// What recover says when the choice is empty, and where its report may go.
TEST(CliRecover, NothingToRecoverAndAReportInANewFolder) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("fat16.img", dir);
    auto r = test::RunProcess({test::CliPath(), "recover", "--masks", "*.nothing-has-this", "--all", "--out",
                               dir / "none", img});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(r.out, "Nothing to recover: the scan found no deleted files that match.\n");
    EXPECT_FALSE(fs::exists(dir / "none"));

    const std::string report = dir / "new/deeper/r.jsonl";
    r = test::RunProcess({test::CliPath(), "recover", "--all", "--out", dir / "out", "--report", report, img});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    const auto lines = Lines(test::ReadFileBytes(report));
    ASSERT_FALSE(lines.empty());
    for (const auto& l : lines) {
        EXPECT_EQ(Field(l, "path").rfind('/', 0), 0u) << l;
        if (Field(l, "outcome") == "ok") {
            EXPECT_EQ(Field(l, "output").rfind(dir / "out/", 0), 0u) << l;
        }
    }
}

} // namespace
} // namespace brivo

namespace brivo {
namespace {

// A scan saved with --save recovers later without scanning again, the same files with
// the same bytes; a saved scan that is not one is refused.
TEST(CliRecover, FromASavedScan) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("fat32.img", dir);
    const std::string saved = dir / "scan.json";
    const auto scan = test::RunProcess({test::CliPath(), "scan", "--save", saved, img});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    const auto direct = test::RunProcess(
        {test::CliPath(), "recover", "--all", "--out", dir / "a", "--report", dir / "a.jsonl", img});
    const auto later = test::RunProcess(
        {test::CliPath(), "recover", "--from-scan", saved, "--all", "--out", dir / "b", "--report", dir / "b.jsonl"});
    ASSERT_EQ(direct.exitCode, 0) << direct.err;
    ASSERT_EQ(later.exitCode, 0) << later.err;
    const auto a = Lines(test::ReadFileBytes(dir / "a.jsonl"));
    const auto b = Lines(test::ReadFileBytes(dir / "b.jsonl"));
    ASSERT_FALSE(a.empty());
    ASSERT_EQ(a.size(), b.size());
    for (size_t i = 0; i < a.size(); ++i) {
        EXPECT_EQ(Field(a[i], "path"), Field(b[i], "path"));
        EXPECT_EQ(Field(a[i], "sha256"), Field(b[i], "sha256"));
    }
    test::WriteFileBytes(dir / "junk.json", "{}");
    const auto junk = test::RunProcess(
        {test::CliPath(), "recover", "--from-scan", dir / "junk.json", "--all", "--out", dir / "c"});
    EXPECT_EQ(junk.exitCode, 1);
    EXPECT_NE(junk.err.find("is not a saved scan"), std::string::npos) << junk.err;
}

// Volumes whose clusters are past 64 KiB store sectors per cluster as a negative power of
// two and records smaller than a cluster. Every deleted file comes back with its bytes,
// also when both boot sectors are lost and the deep scan works the cluster size out.
TEST(CliRecover, NtfsWithClustersPastSixtyFourKiB) {
    for (const std::string name : {"ntfs-128k", "ntfs-256k", "ntfs-2m"}) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        const std::string img = test::UnpackFixture(name + ".img", dir);
        const auto manifest = test::ReadManifest(name);
        ASSERT_FALSE(manifest.empty());
        const auto check = [&](const std::string& out, const std::vector<std::string>& extra) {
            std::vector<std::string> argv{test::CliPath(), "recover", "--all", "--out", out};
            argv.insert(argv.end(), extra.begin(), extra.end());
            argv.push_back(img);
            const auto run = test::RunProcess(argv);
            ASSERT_EQ(run.exitCode, 0) << run.err;
            for (const auto& e : manifest) {
                const std::string file = out + e.path;
                ASSERT_TRUE(fs::exists(file)) << e.path << "\n" << run.out << run.err;
                EXPECT_EQ(test::Md5OfFile(file), e.md5) << e.path;
            }
        };
        check(dir / "plain", {});
        if (name != "ntfs-2m") continue;
        // Both boot sectors gone: the first sector and the backup in the last one.
        std::string bytes = test::ReadFileBytes(img);
        std::fill_n(bytes.begin(), 512, '\0');
        std::fill_n(bytes.end() - 512, 512, '\0');
        test::WriteFileBytes(img, bytes);
        check(dir / "bootless", {"--deep"});
    }
}

} // namespace
} // namespace brivo

namespace brivo {
namespace {

// A scan saved from a relative path opens from any folder; a SOURCE given with --from-scan
// is read in place of the stored path, and refused when it is another volume.
TEST(CliRecover, FromASavedScanFindsItsSourceOrTheOneGiven) {
    test::TempDir dir;
    test::UnpackFixture("fat32.img", dir);
    const auto scan = test::RunProcess({"env", "-C", dir.path(), test::CliPath(), "scan", "--save", "scan.json", "fat32.img"});
    ASSERT_EQ(scan.exitCode, 0) << scan.err;
    const std::string saved = dir / "scan.json";
    EXPECT_NE(test::ReadFileBytes(saved).find("\"source\": \"" + std::string(dir / "fat32.img") + "\""), std::string::npos);
    const auto here = test::RunProcess({test::CliPath(), "recover", "--from-scan", saved, "--all", "--out", dir / "a"});
    ASSERT_EQ(here.exitCode, 0) << here.err;

    std::filesystem::rename(dir / "fat32.img", dir / "moved.img");
    const auto gone = test::RunProcess({test::CliPath(), "recover", "--from-scan", saved, "--all", "--out", dir / "b"});
    EXPECT_EQ(gone.exitCode, 1) << gone.err;
    const auto given = test::RunProcess(
        {test::CliPath(), "recover", "--from-scan", saved, "--all", "--out", dir / "c", dir / "moved.img"});
    ASSERT_EQ(given.exitCode, 0) << given.err;
    EXPECT_EQ(test::RunProcess({"diff", "-r", dir / "a", dir / "c"}).exitCode, 0);

    const std::string other = test::UnpackFixture("fat16.img", dir);
    const auto wrong =
        test::RunProcess({test::CliPath(), "recover", "--from-scan", saved, "--all", "--out", dir / "d", other});
    EXPECT_EQ(wrong.exitCode, 1);
    EXPECT_NE(wrong.err.find(other + " is not the volume this scan was made of"), std::string::npos) << wrong.err;
    EXPECT_FALSE(std::filesystem::exists(dir / "d") && !std::filesystem::is_empty(dir / "d"));
}

} // namespace
} // namespace brivo
