#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/Extractor.h"

namespace brivo::test {

// Keeps what an extractor writes.
struct StringSink final : TByteSink {
    void Write(std::span<const uint8_t> b) override { bytes.append(reinterpret_cast<const char*>(b.data()), b.size()); }
    std::string bytes;
};

// A fresh private folder, removed with everything in it when the object goes.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& name) const { return path_ + "/" + name; }

private:
    std::string path_;
};

struct ProcessResult {
    int exitCode = -1;
    std::string out;  // stdout
    std::string err;  // stderr
};

// Runs argv (no shell) and captures stdout and stderr. stdin is /dev/null.
ProcessResult RunProcess(const std::vector<std::string>& argv);

// This process's environment with the given "NAME=value" entries in place of its own
// (a PATH led by a folder of fake tools, a private TMPDIR).
std::vector<std::string> EnvironmentWith(const std::vector<std::string>& overrides);
// Where a started program's output goes: a descriptor, else a file (created), else /dev/null.
struct SpawnOutput {
    int fd = -1;
    std::string file;
    static SpawnOutput Fd(int fd) { return {fd, {}}; }
    static SpawnOutput File(std::string path) { return {-1, std::move(path)}; }
};
// Starts argv[0] (no shell) with env and the given signals back at their default action
// (a test runner may ignore SIGINT or SIGPIPE for its children; the program must install
// its own handlers), in a process group of its own (kill(-pid, sig) signals it and its
// children as Ctrl-C at a terminal does). Returns the pid, or -1 when it cannot start. The
// caller reaps it.
int SpawnWithDefaultSignals(const std::vector<std::string>& argv, const std::vector<std::string>& env,
                            const SpawnOutput& out, const SpawnOutput& err, const std::vector<int>& signals);

// Path of a committed fixture file (tests/fixtures/<name>).
std::string FixturePath(const std::string& name);
// Decompresses tests/fixtures/<name>.gz (e.g. "ntfs.img") into dir; returns the path.
// Calls GTEST_SKIP-friendly ADD_FAILURE when the fixture is missing.
std::string UnpackFixture(const std::string& name, const TempDir& dir);
// The folder of third-party test images (never copied into the project): $BRIVO_TESTDATA
// when set, else ../shared/testdata beside the project's root.
std::string SharedTestDataDir();
// Path of a file or folder in it; empty when it is not there.
std::string FindSharedTestData(const std::string& name);
// Where it would be, whether or not it is there (tests use BRIVO_REQUIRE_TESTDATA).
std::string SharedTestData(const std::string& name);
// The one line a test skipped for want of it prints.
std::string MissingSharedTestData(const std::string& name);

struct ManifestEntry {
    std::string path;
    long long size = 0;
    std::string md5;
};
// Reads tests/fixtures/<image>.manifest.tsv (header line skipped).
std::vector<ManifestEntry> ReadManifest(const std::string& image);

std::string ReadFileBytes(const std::string& path);
void WriteFileBytes(const std::string& path, const std::string& data);
std::string Md5OfFile(const std::string& path);

// Path of the brivo-recovery-cli built beside the tests.
std::string CliPath();

// An image file's file system mounted read-write at a new folder: through a loop device
// (losetup, then mount) or, with fuseProgram (e.g. "ntfs-3g"), a FUSE mount of the file
// itself. Undone (unmounted, loop device detached) when the object goes. Needs root and
// loop devices or /dev/fuse: Why() says what was missing when Mounted() is false.
class ImageMount {
public:
    ImageMount(const std::string& image, const std::string& mountPoint, const std::string& fuseProgram = "");
    ~ImageMount();
    ImageMount(const ImageMount&) = delete;
    ImageMount& operator=(const ImageMount&) = delete;
    bool Mounted() const { return mounted_; }
    const std::string& Why() const { return why_; }
    const std::string& LoopDevice() const { return loop_; }  // empty for FUSE

private:
    std::string mountPoint_, loop_, why_;
    bool mounted_ = false;
};

} // namespace brivo::test

// Binds var to the path of a third-party test file, or skips the test (ctest reports it
// as skipped) with one line naming what is missing. Only in a test's own body.
#define BRIVO_REQUIRE_TESTDATA(var, name)                                \
    const std::string var = ::brivo::test::FindSharedTestData(name);     \
    if (var.empty()) GTEST_SKIP() << ::brivo::test::MissingSharedTestData(name)
