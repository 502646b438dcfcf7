#include <gtest/gtest.h>

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "TestSupport.h"


namespace brivo {
namespace {

using test::ProcessResult;
using test::RunProcess;

// Rows of the CLI's TSV output as path -> size.
std::vector<std::pair<std::string, long long>> TsvRows(const std::string& text) {
    std::vector<std::pair<std::string, long long>> rows;
    size_t start = text.find('\n');
    while (start != std::string::npos && start + 1 < text.size()) {
        const size_t end = text.find('\n', start + 1);
        const std::string line = text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        start = end;
        const size_t a = line.find('\t'), b = a == std::string::npos ? a : line.find('\t', a + 1);
        if (b == std::string::npos) continue;
        const size_t c = line.find('\t', b + 1);
        rows.emplace_back(line.substr(a + 1, b - a - 1), std::atoll(line.substr(b + 1, c - b - 1).c_str()));
    }
    return rows;
}

std::string Slash(const std::string& p) { return p.empty() || p[0] == '/' ? p : "/" + p; }

// A source path may hold any byte a Linux name can; it reaches the readers, fls and icat
// as it is: on the exFAT route and on the NTFS route, whose Recycle Bin and fallback
// copies go through icat.
TEST(CliEngine, SourcePathsWithQuotesBarsAndLineBreaksScanAndRecover) {
    struct Case {
        const char* image;
        const char* route;
        const char* scope;  // a folder resolved through fls, or the Recycle Bin
        const char* scopedFile;  // the end of the listed path: below the scope, or of the original path
    } cases[] = {{"exfat", "exfat", "/Projects/Apollo", "/old-design.txt"},
                 {"ntfs", "ntfs", nullptr, "/Users/Bob/Documents/budget.xlsx"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.image);
        test::TempDir dir;
        const std::string plain = test::UnpackFixture(std::string(c.image) + ".img", dir);
        const std::string odd = dir / "my \"disk\" 'copy' |x $y\nz \xff.img";
        ASSERT_EQ(::rename(plain.c_str(), odd.c_str()), 0);

        ProcessResult json = RunProcess({test::CliPath(), "scan", "--format", "json", "--masks", "?*", odd});
        ASSERT_EQ(json.exitCode, 0) << json.err;
        EXPECT_NE(json.out.find(std::string("\"route\": \"") + c.route + "\""), std::string::npos) << json.out;

        ProcessResult tsv = RunProcess({test::CliPath(), "scan", "--format", "tsv", "--masks", "?*", odd});
        ASSERT_EQ(tsv.exitCode, 0) << tsv.err;
        const auto rows = TsvRows(tsv.out);
        const std::string out = dir / "out";
        ProcessResult rec = RunProcess({test::CliPath(), "recover", "--masks", "?*", "--out", out, "--all", odd});
        EXPECT_EQ(rec.exitCode, 0) << rec.out << rec.err;
        EXPECT_NE(rec.out.find("OK: " + std::to_string(rows.size()) + " Failed: 0"), std::string::npos) << rec.out;
        size_t checked = 0;
        for (const auto& m : test::ReadManifest(c.image)) {
            for (const auto& [path, size] : rows) {
                if (Slash(path) != m.path || size == 0) continue;
                EXPECT_EQ(test::Md5OfFile(out + m.path), m.md5) << m.path;
                ++checked;
            }
        }
        EXPECT_GT(checked, 3u);

        const std::vector<std::string> narrowed =
            c.scope ? std::vector<std::string>{"--scope", c.scope} : std::vector<std::string>{"--where", "recycle"};
        std::vector<std::string> argv{test::CliPath(), "scan", "--format", "tsv", "--masks", "?*"};
        argv.insert(argv.end(), narrowed.begin(), narrowed.end());
        argv.push_back(odd);
        ProcessResult scoped = RunProcess(argv);
        ASSERT_EQ(scoped.exitCode, 0) << scoped.err;
        bool found = false;
        for (auto [path, size] : TsvRows(scoped.out)) {
            std::replace(path.begin(), path.end(), '\\', '/');
            found = found || path.ends_with(c.scopedFile);
        }
        EXPECT_TRUE(found) << scoped.out;
    }
}

// The CLI with a stand-in fls on PATH that records its pid and hangs, and a private
// temporary folder to hold its engine folder.
class TCliWithHangingTool {
public:
    TCliWithHangingTool() {
        const std::string bin = dir_ / "bin";
        ::mkdir(bin.c_str(), 0700);
        ::mkdir(tmp_.c_str(), 0700);
        test::WriteFileBytes(bin + "/fls", "#!/bin/sh\necho $$ > '" + pidFile_ + "'\nexec sleep 30\n");
        ::chmod((bin + "/fls").c_str(), 0700);
        test::WriteFileBytes(dir_ / "junk.img", std::string(4096, '\0'));
        env_ = test::EnvironmentWith(
            {"PATH=" + bin + ":" + (std::getenv("PATH") ? std::getenv("PATH") : "/usr/bin:/bin"), "TMPDIR=" + tmp_});
    }

    // Starts "scan -v junk.img" with every ending signal at its default, stdout to
    // outFd (or /dev/null), and waits until the tool runs. Returns the CLI's pid.
    pid_t StartScan(int outFd = -1, const std::vector<std::string>& options = {}) {
        std::vector<std::string> argv{test::CliPath(), "scan", "-v"};
        argv.insert(argv.end(), options.begin(), options.end());
        argv.push_back(dir_ / "junk.img");
        const pid_t pid = test::SpawnWithDefaultSignals(argv, env_,
                                                        test::SpawnOutput::Fd(outFd), test::SpawnOutput::File(errFile_),
                                                        {SIGINT, SIGTERM, SIGHUP, SIGPIPE});
        if (pid < 0) return -1;
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
        while (ToolPid() <= 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        return pid;
    }

    pid_t ToolPid() const { return static_cast<pid_t>(std::atoi(test::ReadFileBytes(pidFile_).c_str())); }

    // True once the tool has ended (gone, or a zombie nobody reaped yet).
    bool ToolEnded(std::chrono::seconds within) const {
        const pid_t pid = ToolPid();
        const auto deadline = std::chrono::steady_clock::now() + within;
        for (;;) {
            if (::kill(pid, 0) != 0) return true;
            const std::string stat = test::ReadFileBytes("/proc/" + std::to_string(pid) + "/stat");
            const size_t paren = stat.rfind(')');
            if (paren != std::string::npos && paren + 2 < stat.size() && stat[paren + 2] == 'Z') return true;
            if (std::chrono::steady_clock::now() > deadline) return false;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }

    // Engine folders left under the private temporary folder.
    int EngineFolders() const {
        int n = 0;
        for (const char* parent : {"/recovery_embedded", "/recovery_embedded-"}) {
            std::string p = tmp_ + parent;
            if (parent[std::strlen(parent) - 1] == '-') p += std::to_string(::geteuid());
            if (DIR* d = ::opendir(p.c_str())) {
                while (dirent* e = ::readdir(d))
                    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) ++n;
                ::closedir(d);
            }
        }
        return n;
    }

    std::string ErrText() const { return test::ReadFileBytes(errFile_); }

private:
    test::TempDir dir_;
    std::string tmp_ = dir_ / "tmp";
    std::string pidFile_ = dir_ / "tool.pid";
    std::string errFile_ = dir_ / "err.txt";
    std::vector<std::string> env_;
};

// SIGTERM, SIGHUP and SIGPIPE end the program at once (128 + the signal), with the tool
// killed and the engine folder removed. Ctrl-C keeps its meaning (the scan stops, what was
// found is printed, exit 3) and leaves nothing behind either. A program killed outright
// still takes its tool with it.
TEST(CliEngine, EndingSignalsLeaveNoToolAndNoEngineFolder) {
    for (int sig : {SIGTERM, SIGHUP, SIGPIPE, SIGINT, SIGKILL}) {
        SCOPED_TRACE(strsignal(sig));
        TCliWithHangingTool cli;
        const pid_t pid = cli.StartScan();
        ASSERT_GT(pid, 0);
        if (cli.ToolPid() <= 0) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
            FAIL() << "the tool never started: " << cli.ErrText();
        }
        ASSERT_EQ(cli.EngineFolders(), 1);
        ::kill(pid, sig);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(cli.ToolEnded(std::chrono::seconds(5)));
        if (sig == SIGKILL) continue;  // nothing of ours can run, so the folder stays
        ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
        EXPECT_EQ(WEXITSTATUS(status), sig == SIGINT ? 3 : 128 + sig);
        if (sig == SIGINT) {
            EXPECT_NE(cli.ErrText().find("Stop requested."), std::string::npos) << cli.ErrText();
        }
        EXPECT_EQ(cli.EngineFolders(), 0);
    }
}

// Ctrl-C at a terminal (SIGINT to the whole process group, the tool included): the scan
// says it was stopped, in its JSON and on stderr, and exits 3; a stopped scan is never
// taken for one that found nothing.
TEST(CliEngine, CtrlCMarksTheScanAsStopped) {
    TCliWithHangingTool cli;
    test::TempDir dir;
    const std::string outFile = dir / "out.json";
    const int outFd = ::open(outFile.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    ASSERT_GE(outFd, 0);
    const pid_t pid = cli.StartScan(outFd, {"--format", "json"});
    ::close(outFd);
    ASSERT_GT(pid, 0);
    ASSERT_GT(cli.ToolPid(), 0) << cli.ErrText();
    ::kill(-pid, SIGINT);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 3);
    const std::string json = test::ReadFileBytes(outFile);
    EXPECT_NE(json.find("\"stopped\": true"), std::string::npos) << json;
    EXPECT_NE(cli.ErrText().find("Scan stopped."), std::string::npos) << cli.ErrText();
    EXPECT_TRUE(cli.ToolEnded(std::chrono::seconds(5)));
}

// Output into a pipe whose reader has gone (| head -1 after its line): the program ends
// with 128 + SIGPIPE and removes its engine folder.
TEST(CliEngine, ClosedOutputPipeEndsTheProgramCleanly) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("exfat.img", dir);
    const std::string tmp = dir / "tmp";
    ASSERT_EQ(::mkdir(tmp.c_str(), 0700), 0);
    int p[2];
    ASSERT_EQ(::pipe(p), 0);
    ::close(p[0]);
    const pid_t pid = test::SpawnWithDefaultSignals({test::CliPath(), "scan", "--masks", "*", img},
                                                    test::EnvironmentWith({"TMPDIR=" + tmp}), test::SpawnOutput::Fd(p[1]), {},
                                                    {SIGPIPE});
    ASSERT_GT(pid, 0);
    ::close(p[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status)) << "ended by signal " << WTERMSIG(status);
    EXPECT_EQ(WEXITSTATUS(status), 128 + SIGPIPE);
    DIR* d = ::opendir((tmp + "/recovery_embedded").c_str());
    ASSERT_NE(d, nullptr);
    int left = 0;
    while (dirent* e = ::readdir(d)) left += e->d_name[0] != '.';
    ::closedir(d);
    EXPECT_EQ(left, 0);
}

} // namespace
} // namespace brivo
