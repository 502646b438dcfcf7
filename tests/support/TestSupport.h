#pragma once
#include <string>
#include <vector>

namespace brivo::test {

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

// Path of a committed fixture file (tests/fixtures/<name>).
std::string FixturePath(const std::string& name);
// Decompresses tests/fixtures/<name>.gz (e.g. "ntfs.img") into dir; returns the path.
// Calls GTEST_SKIP-friendly ADD_FAILURE when the fixture is missing.
std::string UnpackFixture(const std::string& name, const TempDir& dir);
// Path of a file in the shared third-party test data folder.
std::string SharedTestData(const std::string& name);

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

} // namespace brivo::test
