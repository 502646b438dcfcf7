#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <future>
#include <stdexcept>
#include <span>
#include <thread>
#include <vector>

#include "TestSupport.h"
#include "platform/LongPath.h"
#include "engine/TSKRunner.h"

using namespace brivo;
using brivo::test::TempDir;

namespace {

// /bin/sh here is a test peer that prints and exits on demand; the runner itself never
// starts a shell.
const std::string kSh = "/bin/sh";
std::vector<std::string> Sh(const std::string& script) { return {"-c", script}; }

// Stops until the run has ended (a Stop that comes before the child exists does
// nothing, and a loaded machine may start it late). False when it never ended.
template <typename F>
bool StopUntilReady(TTSKRunner& r, F& future) {
    for (int i = 0; i < 500; ++i) {
        r.Stop();
        if (future.wait_for(std::chrono::milliseconds(20)) == std::future_status::ready) return true;
    }
    return false;
}

bool Exists(const std::string& p) {
    struct stat st {};
    return ::lstat(p.c_str(), &st) == 0;
}

} // namespace

TEST(TSKRunner, CapturesStdoutAndStderrTogetherWithTheExitCode) {
    TTSKRunner r;
    const auto res = r.RunCaptureTextEx(kSh, Sh("echo out; echo err 1>&2; exit 3"));
    EXPECT_EQ(res.Text, "out\nerr\n");
    EXPECT_EQ(res.ExitCode, 3);
    EXPECT_FALSE(res.Stopped);
    EXPECT_EQ(r.RunCaptureText("/bin/echo", {"a  b", "c"}), "a  b c\n");
}

TEST(TSKRunner, EveryArgumentReachesTheToolAsItIs) {
    TTSKRunner r;
    TempDir dir;
    const std::vector<std::string> args = {"a b", "\"q\"", "'s'", "x|y", "$HOME", "l1\nl2", "\xff\xfe", "", "-"};
    std::vector<std::string> call = {"-c", "for a in \"$@\"; do printf '%s\\0' \"$a\"; done", "sh"};
    call.insert(call.end(), args.begin(), args.end());
    r.RunCaptureBinaryToFile(kSh, call, dir / "echoed");
    std::string expected;
    for (const auto& a : args) expected += a + '\0';
    EXPECT_EQ(test::ReadFileBytes(dir / "echoed"), expected);
}

TEST(TSKRunner, StreamingHandsOverStdoutAndKeepsStderrApart) {
    TTSKRunner r;
    std::string out;
    size_t pieces = 0;
    const TChildEnd end = r.RunStreaming(kSh, Sh("head -c 300000 /dev/zero; echo oops 1>&2; exit 4"),
                                         [&](std::span<const uint8_t> chunk) {
                                             EXPECT_FALSE(chunk.empty());
                                             out.append(reinterpret_cast<const char*>(chunk.data()), chunk.size());
                                             ++pieces;
                                         });
    EXPECT_EQ(out, std::string(300000, '\0'));
    EXPECT_GT(pieces, 1u);
    EXPECT_EQ(end.ExitCode, 4);
    EXPECT_EQ(end.ErrorText, "oops");
    EXPECT_EQ(TTSKRunner::FailureMessage(end), "oops");
    EXPECT_EQ(TTSKRunner::FailureMessage(TChildEnd{}), "");
    EXPECT_EQ(TTSKRunner::FailureMessage(TChildEnd{2, false, ""}), "Process failed, exit code 2");

    // The tool's binary output arrives byte for byte.
    TempDir dir;
    std::string data(100000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 13);
    test::WriteFileBytes(dir / "src.bin", data);
    std::string copy;
    const TChildEnd cat = r.RunStreaming("/bin/cat", {dir / "src.bin"}, [&](std::span<const uint8_t> c) {
        copy.append(reinterpret_cast<const char*>(c.data()), c.size());
    });
    EXPECT_EQ(cat.ExitCode, 0);
    EXPECT_EQ(copy, data);
}

TEST(TSKRunner, StreamingConsumerThatThrowsEndsTheTool) {
    TTSKRunner r;
    const auto t0 = std::chrono::steady_clock::now();
    EXPECT_THROW(r.RunStreaming("/usr/bin/yes", {}, [](std::span<const uint8_t>) { throw std::logic_error("full"); }),
                 std::logic_error);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
    // Stop ends a streaming run as it ends any other.
    auto run = std::async(std::launch::async,
                          [&] { return r.RunStreaming("/bin/sleep", {"30"}, [](std::span<const uint8_t>) {}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    ASSERT_TRUE(StopUntilReady(r, run));
    EXPECT_TRUE(run.get().Stopped);
}

TEST(TSKRunner, OutputLargerThanThePipeNeverBlocks) {
    TTSKRunner r;
    // About 6.9 MB, a hundred times what a pipe holds.
    const std::string text = r.RunCaptureText("/usr/bin/seq", {"1", "1000000"});
    EXPECT_EQ(text.size(), 6888896u);
    EXPECT_EQ(text.substr(text.size() - 8), "1000000\n");
}

TEST(TSKRunner, ChildHasNoStandardInput) {
    TTSKRunner r;
    // cat of stdin returns at once on /dev/null instead of waiting for a terminal.
    EXPECT_EQ(r.RunCaptureTextEx("/bin/cat", {}).Text, "");
}

TEST(TSKRunner, ToolThatCannotStartRaises) {
    TTSKRunner r;
    TempDir dir;
    try {
        r.RunCaptureText("/nonexistent/fls", {"-V"});
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("/nonexistent/fls"), std::string::npos);
    }
    EXPECT_THROW(r.RunCaptureBinaryToFile("/nonexistent/icat", {}, dir / "out.bin"), std::runtime_error);
    EXPECT_FALSE(Exists(dir / "out.bin"));  // no empty file left that looks recovered
}

TEST(TSKRunner, StopEndsAHangingToolQuickly) {
    TTSKRunner r;
    r.Stop();  // nothing running: nothing happens
    auto run = std::async(std::launch::async, [&] { return r.RunCaptureTextEx("/bin/sleep", {"30"}); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    const auto t0 = std::chrono::steady_clock::now();
    ASSERT_TRUE(StopUntilReady(r, run));
    const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - t0).count();
    const auto res = run.get();
    EXPECT_TRUE(res.Stopped);
    EXPECT_EQ(res.ExitCode, 1);
    EXPECT_LT(ms, 5000);  // the child sleeps 30 s
    // The runner is reusable and a stale Stop does not leak into the next run.
    EXPECT_EQ(r.RunCaptureTextEx("/bin/echo", {"ok"}).ExitCode, 0);
}

TEST(TSKRunner, StopDuringExtractionDeletesTheFile) {
    TTSKRunner r;
    TempDir dir;
    const std::string out = dir / "x.bin";
    auto run = std::async(std::launch::async, [&] { r.RunCaptureBinaryToFile(kSh, Sh("echo partial; exec sleep 30"), out); });
    std::this_thread::sleep_for(std::chrono::milliseconds(200));
    ASSERT_TRUE(StopUntilReady(r, run));
    try {
        run.get();
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Process failed, exit code 1");
    }
    EXPECT_FALSE(Exists(out));
}

TEST(TSKRunner, BinaryRunWritesStdoutIntoANewFolderChain) {
    TTSKRunner r;
    TempDir dir;
    const std::string src = dir / "src.bin";
    std::string data(200000, '\0');
    for (size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 7);
    test::WriteFileBytes(src, data);
    const std::string out = dir / "a/b/c/out.bin";
    r.RunCaptureBinaryToFile("/bin/cat", {src}, out);
    EXPECT_EQ(test::ReadFileBytes(out), data);
    struct stat st {};
    ASSERT_EQ(::stat(out.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0644 & ~[] { mode_t m = ::umask(0); ::umask(m); return m; }());
    // Replacing an existing file truncates it.
    r.RunCaptureBinaryToFile(kSh, Sh("printf ab"), out);
    EXPECT_EQ(test::ReadFileBytes(out), "ab");
}

TEST(TSKRunner, BinaryRunFailuresDeleteTheFileAndCarryTheToolsText) {
    struct Case {
        const char* script;
        const char* message;
    } cases[] = {
        {"echo data; echo '  warning  ' 1>&2", "warning"},  // exit 0 but error output: failed
        {"echo data; exit 2", "Process failed, exit code 2"},
        {"echo data; echo 'icat: Invalid address' 1>&2; exit 1", "icat: Invalid address"},
        {"echo data; printf '\\r\\n \\t' 1>&2", nullptr},  // blanks only: success
    };
    TTSKRunner r;
    TempDir dir;
    for (const auto& c : cases) {
        const std::string out = dir / "out.bin";
        if (!c.message) {
            EXPECT_NO_THROW(r.RunCaptureBinaryToFile(kSh, Sh(c.script), out)) << c.script;
            EXPECT_EQ(test::ReadFileBytes(out), "data\n");
            continue;
        }
        try {
            r.RunCaptureBinaryToFile(kSh, Sh(c.script), out);
            ADD_FAILURE() << c.script;
        } catch (const std::runtime_error& e) {
            EXPECT_STREQ(e.what(), c.message);
        }
        EXPECT_FALSE(Exists(out)) << c.script;
    }
}

TEST(TSKRunner, BinaryRunNeverWritesThroughALink) {
    TTSKRunner r;
    TempDir dir;
    const std::string victim = dir / "victim.txt";
    test::WriteFileBytes(victim, "keep me");
    const std::string out = dir / "out.bin";
    ASSERT_EQ(::symlink(victim.c_str(), out.c_str()), 0);
    EXPECT_THROW(r.RunCaptureBinaryToFile(kSh, Sh("echo evil"), out), std::runtime_error);
    EXPECT_EQ(test::ReadFileBytes(victim), "keep me");
}

TEST(TSKRunner, OutputBeyondTheLimitStopsTheTool) {
    TTSKRunner r;
    r.SetMaxCaptureBytes(1 << 20);
    EXPECT_THROW(r.RunCaptureText("/usr/bin/yes", {}), std::runtime_error);  // endless output
    EXPECT_EQ(r.RunCaptureTextEx("/bin/echo", {"fine"}).Text, "fine\n");
}

TEST(LongPath, AbsoluteFormsAndFolderChains) {
    TempDir dir;
    char* cwd = ::getcwd(nullptr, 0);
    ASSERT_NE(cwd, nullptr);
    EXPECT_EQ(ToLongPath("rel/a.bin"), std::string(cwd) + "/rel/a.bin");
    std::free(cwd);
    EXPECT_EQ(ToLongPath("/dev/sdb1"), "/dev/sdb1");
    EXPECT_EQ(ToLongPath(""), "");

    ForceDirectoriesLong(dir / "x/y/z/");
    EXPECT_TRUE(DirectoryExistsLong(dir / "x/y/z"));
    EXPECT_NO_THROW(ForceDirectoriesLong(dir / "x/y"));  // existing: nothing to do
    test::WriteFileBytes(dir / "file", "f");
    EXPECT_FALSE(DirectoryExistsLong(dir / "file"));
    EXPECT_THROW(ForceDirectoriesLong(dir / "file/sub"), std::runtime_error);
    EXPECT_THROW(ForceDirectoriesLong(dir / "file"), std::runtime_error);
}
