#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <tuple>

#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/ScanState.h"
#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "fat32/Fat32Scan.h"
#include "filters/SyntheticPath.h"

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
        // Every folder on the way, and the file itself, that kept only its 8.3 name has lost
        // its first character.
        const std::string original = e.path;
        for (size_t slash = e.path.find('/'); slash != std::string::npos; slash = e.path.find('/', slash + 1)) {
            const auto k = notes.find(original.substr(0, original.find('/', slash + 1)));
            if (k != notes.end() && k->second.count("short_name_only")) e.path[slash + 1] = '_';
        }
        want[e.path] = e;
    }
    ASSERT_FALSE(want.empty());

    const TByteSourcePtr src = OpenRawByteSource(img);
    TNullReport report;
    const TFoundFiles found = FastScanFat32Direct(*src, report, {}).Found;

    std::set<std::string> got;
    for (const auto& f : found) got.insert(f.FullPath);
    std::set<std::string> wantPaths;
    for (const auto& [p, e] : want) wantPaths.insert(p);
    ASSERT_EQ(got, wantPaths);

    const auto fls = FlsAddresses(img);
    for (const auto& f : found) {
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

INSTANTIATE_TEST_SUITE_P(Images, Fat32Fixture, ::testing::Values("fat32", "fat32-fragdir", "fat16", "fat12"),
                         [](const auto& info) {
                             const std::string p = info.param;
                             return p == "fat32" ? std::string("Plain") : p == "fat32-fragdir" ? std::string("FragmentedDirectory") : p;
                         });

// (address, path, size) of every deleted file with content the engine lists, leaving out
// what the cleanup filter hides on every route.
using TEngineRows = std::set<std::tuple<std::string, std::string, int64_t>>;

TEngineRows EngineDeletedFiles(const std::string& img) {
    TEngineRows out;
    const ProcessResult r = RunProcess({"fls", "-r", "-d", "-p", "-m", "/", "-f", "fat", img});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        std::vector<std::string> f;
        std::istringstream ls(line);
        for (std::string x; std::getline(ls, x, '|');) f.push_back(x);
        if (f.size() < 7 || f[3].rfind("r/", 0) != 0) continue;
        std::string path = f[1];
        const std::string marker = " (deleted)";
        if (path.size() <= marker.size() || path.compare(path.size() - marker.size(), marker.size(), marker) != 0) continue;
        path.resize(path.size() - marker.size());
        const int64_t size = std::stoll(f[6]);
        if (size == 0 || IsSyntheticPath(path, TScanWhere::swDisk)) continue;
        out.emplace(f[2], path, size);
    }
    return out;
}

TEngineRows ScanRows(const std::string& img) {
    const TByteSourcePtr src = OpenRawByteSource(img);
    TNullReport report;
    TEngineRows out;
    for (const auto& f : FastScanFat32Direct(*src, report, {{"*"}, true, false}).Found) out.emplace(f.Inode, f.FullPath, f.SizeBytes);
    return out;
}

// Every FAT width, from the fixtures and the third-party images: the same deleted files at
// the same addresses as the engine, so that recovery through it finds them.
TEST(FatVolumes, ListTheDeletedFilesTheEngineLists) {
    TempDir dir;
    for (const char* name : {"fat12", "fat16", "fat32", "fat32-fragdir"}) {
        SCOPED_TRACE(name);
        const std::string img = UnpackFixture(std::string(name) + ".img", dir);
        EXPECT_EQ(ScanRows(img), EngineDeletedFiles(img));
    }
}

TEST(FatVolumes, ListTheDeletedFilesTheEngineListsOnThirdPartyImages) {
    BRIVO_REQUIRE_TESTDATA(undel, "6-fat-undel.dd.gz");
    BRIVO_REQUIRE_TESTDATA(daylight, "daylight.dd.gz");
    TempDir dir;
    for (const std::string& gz : {undel, daylight}) {
        SCOPED_TRACE(gz);
        const ProcessResult r = RunProcess({"gzip", "-dc", gz});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        const std::string img = dir / "volume.dd";
        WriteFileBytes(img, r.out);
        EXPECT_EQ(ScanRows(img), EngineDeletedFiles(img));
    }
}

// "/Music Collection/New Downloads" was made, years later, in the cluster the deleted
// "/Old stuff" had; its two subfolders survive in free space with ".." naming that cluster.
// They are not the new folder's: the deleted entry that names the cluster is their parent.
TEST(FatVolumes, DeepScanKeepsLostFoldersOutOfTheFolderThatTookTheirParentsCluster) {
    TempDir dir;
    for (const char* name : {"fat12-reuse", "fat16-reuse", "fat32-reuse"}) {
        SCOPED_TRACE(name);
        const TByteSourcePtr src = OpenRawByteSource(UnpackFixture(std::string(name) + ".img", dir));
        TNullReport report;
        TReaderOptions opts;
        opts.Deep = true;
        const TFoundFiles found = FastScanFat32Direct(*src, report, opts).Found;
        std::map<std::string, std::string> byName;
        for (const auto& f : found) byName[f.FullPath.substr(f.FullPath.find_last_of('/') + 1)] = f.FullPath;
        ASSERT_EQ(byName.size(), 2u);
        for (const char* file : {"beach photo.jpg", "to the bank.txt"}) {
            ASSERT_TRUE(byName.count(file)) << file;
            EXPECT_EQ(byName[file].rfind("/Old stuff/Folder at cluster ", 0), 0u) << byName[file];
        }
    }
}

} // namespace
} // namespace brivo

namespace brivo {
namespace {

// The log and status name the volume's own FAT width.
TEST(FatVolumes, TextsNameTheFatWidth) {
    test::TempDir dir;
    const TByteSourcePtr src = OpenRawByteSource(test::UnpackFixture("fat16.img", dir));
    RecordingHost host;
    TScanState st;
    THostReport report(host, st);
    const TReaderResult r = FastScanFat32Direct(*src, report, {});
    host.Drain();
    EXPECT_EQ(host.MemoMessages(),
              (std::vector<std::string>{"Fast FAT16 scan: reading FAT and directory entries directly...",
                                        "Fast FAT16 geometry: bps=512 cluster=2048 root_entries=512 fat_sectors=32",
                                        "Fast FAT16 scan complete: found=5"}));
    EXPECT_EQ(host.status, "Preparing FAT16 results... Found 5 files.");
    EXPECT_EQ(r.Found.size(), 5u);
}

} // namespace
} // namespace brivo
