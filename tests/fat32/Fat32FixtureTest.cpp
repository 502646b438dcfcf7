#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>

#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/ScanState.h"
#include "fat32/Fat32Scan.h"

namespace brivo {
namespace {

using namespace brivo::test;

// path -> fact -> value, from tests/fixtures/<image>.notes.tsv.
std::map<std::string, std::map<std::string, std::string>> ReadNotes(const std::string& image) {
    std::map<std::string, std::map<std::string, std::string>> notes;
    std::ifstream in(FixturePath(image + ".notes.tsv"));
    std::string line;
    std::getline(in, line);
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string path, fact, value;
        std::getline(ls, path, '\t');
        std::getline(ls, fact, '\t');
        std::getline(ls, value);
        notes[path][fact] = value;
    }
    return notes;
}

// The engine's listing of deleted entries: path (without the marker) -> metadata address.
std::map<std::string, std::string> FlsAddresses(const std::string& img) {
    std::map<std::string, std::string> out;
    const ProcessResult r = RunProcess({"fls", "-r", "-d", "-p", "-m", "/", img});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::istringstream in(r.out);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        std::istringstream ls(line);
        for (std::string x; std::getline(ls, x, '|');) f.push_back(x);
        if (f.size() < 3) continue;
        std::string path = f[1];
        const std::string marker = " (deleted)";
        if (path.size() > marker.size() && path.compare(path.size() - marker.size(), marker.size(), marker) == 0)
            path.resize(path.size() - marker.size());
        out[path] = f[2];
    }
    return out;
}

class Fat32Fixture : public ::testing::TestWithParam<const char*> {};

// Every deleted file with data is listed under its restored long name (an 8.3-only name
// shows "_" for its lost first character), at the address the engine uses for the same
// entry, and the engine's extractor reproduces its content from that address.
TEST_P(Fat32Fixture, ListsTheDeletedFilesAtTheEngineAddresses) {
    const std::string image = GetParam();
    TempDir dir;
    const std::string img = UnpackFixture(image + ".img", dir);
    const auto notes = ReadNotes(image);

    std::map<std::string, ManifestEntry> want;
    for (ManifestEntry e : ReadManifest(image)) {
        auto n = notes.find(e.path);
        if (n != notes.end() && n->second.count("zero_byte")) continue;  // nothing to recover
        if (n != notes.end() && n->second.count("short_name_only")) e.path[e.path.rfind('/') + 1] = '_';
        want[e.path] = e;
    }
    ASSERT_FALSE(want.empty());

    RecordingHost host;
    TScanState st;
    FastScanFat32Direct(st, host, img, {});
    host.Drain();

    std::set<std::string> got;
    for (const auto& f : st.FFound) got.insert(f.FullPath);
    std::set<std::string> wantPaths;
    for (const auto& [p, e] : want) wantPaths.insert(p);
    ASSERT_EQ(got, wantPaths);

    const auto fls = FlsAddresses(img);
    for (const auto& f : st.FFound) {
        SCOPED_TRACE(f.FullPath);
        EXPECT_EQ(f.SizeBytes, want[f.FullPath].size);
        ASSERT_TRUE(fls.count(f.FullPath));
        EXPECT_EQ(f.Inode, fls.at(f.FullPath));
        const std::string out = dir / "recovered";
        const ProcessResult r = RunProcess({"icat", "-R", img, f.Inode});
        EXPECT_EQ(r.exitCode, 0) << r.err;
        WriteFileBytes(out, r.out);
        EXPECT_EQ(Md5OfFile(out), want[f.FullPath].md5);
    }
}

INSTANTIATE_TEST_SUITE_P(Images, Fat32Fixture, ::testing::Values("fat32", "fat32-fragdir"),
                         [](const auto& info) { return std::string(info.param) == "fat32" ? "Plain" : "FragmentedDirectory"; });

} // namespace
} // namespace brivo
