#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <thread>

#include <set>

#include "TestSupport.h"


namespace brivo {
namespace {

using test::ProcessResult;
using test::RunProcess;

struct Listed {
    std::string inode;
    std::string path;
    long long size = 0;
};

// Pulls inode/path/size out of the CLI's TSV output.
std::vector<Listed> ParseTsv(const std::string& text) {
    std::vector<Listed> out;
    size_t start = text.find('\n');
    while (start != std::string::npos && start + 1 < text.size()) {
        size_t end = text.find('\n', start + 1);
        const std::string line = text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        start = end;
        if (line.empty()) continue;
        std::vector<std::string> f;
        size_t p = 0;
        for (size_t q; (q = line.find('\t', p)) != std::string::npos; p = q + 1) f.push_back(line.substr(p, q - p));
        f.push_back(line.substr(p));
        if (f.size() < 3) continue;
        out.push_back({f[0], f[1], std::atoll(f[2].c_str())});
    }
    return out;
}

std::string Slash(const std::string& p) { return p.empty() || p[0] == '/' ? p : "/" + p; }

std::vector<std::string> Components(const std::string& p) {
    std::vector<std::string> out;
    size_t s = 0;
    for (size_t e; (e = p.find('/', s)) != std::string::npos; s = e + 1)
        if (e > s) out.push_back(p.substr(s, e - s));
    if (s < p.size()) out.push_back(p.substr(s));
    return out;
}

// FAT keeps no first character of a deleted entry that has no long name: both readers
// show "_" in its place.
bool SamePath(const std::string& manifest, const std::string& listed) {
    const auto a = Components(manifest), b = Components(Slash(listed));
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (a[i] == b[i]) continue;
        size_t first = 1;
        while (first < a[i].size() && (static_cast<unsigned char>(a[i][first]) & 0xC0) == 0x80) ++first;
        if (b[i] != std::string("_").append(a[i], first)) return false;
    }
    return true;
}

struct Route {
    const char* image;
    const char* route;
};

// Every fixture lists each file of its manifest (path and size) on the route its file
// system calls for, and recover --all writes each one back, with its md5, under its path.
// "?*" matches every name but is not a catch-all mask, so the cleanup filter stays off
// and zero-byte and Recycle Bin files are listed too.
TEST(CliEndToEnd, EachFixtureListsItsDeletedFilesAndRecoversThem) {
    const Route routes[] = {{"ntfs", "ntfs"}, {"fat32", "fat32"}, {"fat32-fragdir", "fat32"},
                            {"fat16", "fat32"}, {"exfat", "exfat"}};
    for (const auto& r : routes) {
        SCOPED_TRACE(r.image);
        test::TempDir dir;
        const std::string img = test::UnpackFixture(std::string(r.image) + ".img", dir);
        ProcessResult json = RunProcess({test::CliPath(), "scan", "--format", "json", "--masks", "?*", img});
        ASSERT_EQ(json.exitCode, 0) << json.err;
        EXPECT_NE(json.out.find(std::string("\"route\": \"") + r.route + "\""), std::string::npos) << json.out;

        ProcessResult tsv = RunProcess({test::CliPath(), "scan", "--format", "tsv", "--masks", "?*", img});
        ASSERT_EQ(tsv.exitCode, 0) << tsv.err;
        const auto listed = ParseTsv(tsv.out);

        const std::string out = dir / "out";
        ProcessResult rec = RunProcess({test::CliPath(), "recover", "--masks", "?*", "--out", out, "--all", img});
        EXPECT_EQ(rec.exitCode, 0) << rec.err;
        EXPECT_NE(rec.out.find("Recovery finished. OK: " + std::to_string(listed.size()) + " Failed: 0"),
                  std::string::npos)
            << rec.out;

        for (const auto& m : test::ReadManifest(r.image)) {
            const Listed* hit = nullptr;
            for (const auto& l : listed)
                if (SamePath(m.path, l.path)) hit = &l;
            ASSERT_NE(hit, nullptr) << m.path << " not listed in\n" << tsv.out;
            EXPECT_EQ(hit->size, m.size) << m.path;
            EXPECT_EQ(test::Md5OfFile(out + Slash(hit->path)), m.md5) << m.path;
        }
    }
}

TEST(CliEndToEnd, ScopeAndRecycleNarrowAnImage) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("ntfs.img", dir);
    ProcessResult scoped =
        RunProcess({test::CliPath(), "scan", "--format", "tsv", "--scope", "/Users/Bob", "--masks", "*", img});
    ASSERT_EQ(scoped.exitCode, 0) << scoped.err;
    const auto rows = ParseTsv(scoped.out);
    ASSERT_FALSE(rows.empty());
    for (const auto& l : rows) EXPECT_EQ(Slash(l.path).rfind("/Users/Bob/", 0), 0u) << l.path;

    ProcessResult recycle = RunProcess({test::CliPath(), "scan", "--format", "tsv", "--where", "recycle", img});
    ASSERT_EQ(recycle.exitCode, 0) << recycle.err;
    const auto bin = ParseTsv(recycle.out);
    std::set<std::string> paths;
    for (const auto& l : bin) paths.insert(l.path);
    EXPECT_TRUE(paths.count("C:/Users/Bob/Documents/budget.xlsx")) << recycle.out;
}

TEST(CliEndToEnd, FailuresAndUsageHaveTheirExitCodes) {
    test::TempDir dir;
    const std::string junk = dir / "junk.img";
    test::WriteFileBytes(junk, std::string(64 * 1024, '\x5a'));
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* errText;
    };
    const Case cases[] = {
        {{"scan", dir / "missing.img"}, 1, "brivo-recovery-cli: error: "},
        {{"scan", junk}, 1, "brivo-recovery-cli: error: "},  // fls cannot read it: an error, not "0 files"
        {{"scan", "--sort", "weight", junk}, 2, "--sort"},
        {{"recover", "--out", dir / "o", junk}, 2, "--all"},
        {{"frobnicate"}, 2, "usage"},
    };
    for (const auto& c : cases) {
        std::vector<std::string> argv{test::CliPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        ProcessResult r = RunProcess(argv);
        EXPECT_EQ(r.exitCode, c.code) << c.args[0] << " " << r.err;
        EXPECT_NE(r.err.find(c.errText), std::string::npos) << r.err;
    }
}

} // namespace
} // namespace brivo

namespace brivo {
namespace {

// Ctrl-C during a scan acts as the Stop command: the running tool is killed, what was
// listed so far is shown, and the program ends normally. A stand-in fls that hangs
// (found first on PATH, where the engine folder looks) keeps the scan running.
TEST(CliEndToEnd, InterruptStopsARunningScan) {
    test::TempDir dir;
    const std::string bin = dir / "bin";
    ASSERT_EQ(::mkdir(bin.c_str(), 0700), 0);
    test::WriteFileBytes(bin + "/fls", "#!/bin/sh\nexec sleep 30\n");
    ASSERT_EQ(::chmod((bin + "/fls").c_str(), 0700), 0);
    const std::string junk = dir / "junk.img";
    test::WriteFileBytes(junk, std::string(4096, '\0'));

    const std::vector<std::string> env =
        test::EnvironmentWith({"PATH=" + bin + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin")});
    const std::string cli = test::CliPath();
    const std::string errFile = dir / "err.txt";
    const pid_t pid = test::SpawnWithDefaultSignals({cli, "scan", "-v", junk}, env, {}, test::SpawnOutput::File(errFile), {SIGINT});
    ASSERT_GT(pid, 0);

    // Wait until the scan has started its tool, then interrupt.
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (test::ReadFileBytes(errFile).find("> \"") == std::string::npos &&
           std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const auto sent = std::chrono::steady_clock::now();
    ::kill(pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    const auto took = std::chrono::steady_clock::now() - sent;

    EXPECT_TRUE(WIFEXITED(status)) << "ended by a signal";
    EXPECT_EQ(WEXITSTATUS(status), 3);  // stopped, never taken for a complete listing
    EXPECT_LT(took, std::chrono::seconds(5));
    EXPECT_NE(test::ReadFileBytes(errFile).find("Stop requested."), std::string::npos) << test::ReadFileBytes(errFile);
    EXPECT_NE(test::ReadFileBytes(errFile).find("Scan stopped."), std::string::npos) << test::ReadFileBytes(errFile);
}

} // namespace

// A deep scan narrowed to a folder says that its content search was skipped and how to run it.
TEST(CliScan, ADeepScanOfAFolderSaysWhatItLeftOut) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("fat32.img", dir);
    const auto r = test::RunProcess({test::CliPath(), "scan", "--deep", "--scope", "/Documents", img});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_NE(r.err.find("the search of the free space by content was skipped"), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("deep scan the whole volume: " + img), std::string::npos) << r.err;
    EXPECT_EQ(r.out.find("$Found by content"), std::string::npos);
    const auto plain = test::RunProcess({test::CliPath(), "scan", "--scope", "/Documents", img});
    EXPECT_EQ(plain.err.find("by content was skipped"), std::string::npos) << plain.err;
}

} // namespace brivo
