#include <gtest/gtest.h>

#include <fstream>
#include <map>
#include <sstream>

#include "EngineForTest.h"
#include "RecordingHost.h"
#include "TestSupport.h"
#include "engine/CommandLine.h"
#include "tskparse/FlsOutputParser.h"

using namespace brivo;
using brivo::test::RecordingHost;

namespace {

struct Expected {
    std::string path;
    long long size;
    std::string md5;
};

// FAT marks a deleted entry by overwriting the first byte of its 8.3 name, so the engine
// shows "_ld_main.c" for a deleted old_main.c that had no long name. Every other
// character must agree.
bool SamePathUpToLostFirstChars(const std::string& listed, const std::string& truth) {
    if (listed.size() != truth.size()) return false;
    for (size_t i = 0; i < listed.size(); ++i) {
        if (listed[i] == truth[i]) continue;
        const bool startOfName = i > 0 && listed[i - 1] == '/';
        if (!(startOfName && listed[i] == '_')) return false;
    }
    return true;
}

// Scans the image the way the fls route does and checks the results against the
// answer: same files (path, size) in any order, and icat -R reproduces each content.
void CheckImage(const std::string& img, const std::string& fsSwitch, const std::vector<Expected>& expected,
                bool fatShortNames) {
    test::TempDir out;
    test::EngineForTest engine;
    RecordingHost host;
    TScanState st;
    const std::string fls = RequireTool(engine.ctx, host, "fls");
    const std::string icat = RequireTool(engine.ctx, host, "icat");
    TToolCommand list;
    list.Program = fls;
    list.AddWords(fsSwitch).Add("-r").Add("-p").Add("-m").Add("/").Add("-d").AddPath(img);
    const TRunTextResult run = engine.ctx.FRunner.RunCaptureTextEx(list.Program, list.Args);
    ASSERT_EQ(run.ExitCode, 0) << run.Text;
    ParseFlsOutput(st, host, run.Text, TScanWhere::swDiskImage, {"*.*"});

    std::vector<bool> used(expected.size(), false);
    for (const TFoundFile& f : st.FFound) {
        size_t hit = expected.size();
        for (size_t i = 0; i < expected.size() && hit == expected.size(); ++i) {
            if (used[i]) continue;
            if (f.FullPath == expected[i].path ||
                (fatShortNames && SamePathUpToLostFirstChars(f.FullPath, expected[i].path)))
                hit = i;
        }
        if (hit == expected.size()) {
            ADD_FAILURE() << "not in the answer: " << f.FullPath;
            continue;
        }
        used[hit] = true;
        EXPECT_EQ(f.SizeBytes, expected[hit].size) << f.FullPath;
        const std::string dest = out / ("f" + f.Inode + ".bin");
        TToolCommand cat;
        cat.Program = icat;
        cat.AddWords(fsSwitch).Add("-R").AddPath(img).Add(f.Inode);
        engine.ctx.FRunner.RunCaptureBinaryToFile(cat.Program, cat.Args, dest);
        EXPECT_EQ(test::Md5OfFile(dest), expected[hit].md5) << f.FullPath;
    }
    for (size_t i = 0; i < expected.size(); ++i) EXPECT_TRUE(used[i]) << "missing: " << expected[i].path;
}

std::vector<Expected> FromManifest(const std::string& image) {
    std::vector<Expected> out;
    for (const auto& e : test::ReadManifest(image)) out.push_back({e.path, e.size, e.md5});
    return out;
}

} // namespace

TEST(FlsRealTool, Fat16FixtureGivesExactlyTheManifest) {
    test::TempDir dir;
    const auto expected = FromManifest("fat16");
    ASSERT_FALSE(expected.empty());
    CheckImage(test::UnpackFixture("fat16.img", dir), " -f fat", expected, true);
}

TEST(FlsRealTool, ExfatFixtureGivesExactlyTheManifest) {
    test::TempDir dir;
    const auto expected = FromManifest("exfat");
    ASSERT_FALSE(expected.empty());
    // Holds "/Ünïcödé файл.txt": the UTF-8 name must survive the output decoding.
    CheckImage(test::UnpackFixture("exfat.img", dir), "", expected, false);
}

// A FAT16 volume made by someone else, with a deleted folder tree and fragmented files.
// Its answer key lists every deleted regular file with the md5 of icat -R; the copy of
// frag3.dat under System Volume Information is a system area the scan leaves out.
TEST(FlsRealTool, ThirdPartyFat16MatchesItsAnswerKey) {
    BRIVO_REQUIRE_TESTDATA(gz, "6-fat-undel.dd.gz");
    BRIVO_REQUIRE_TESTDATA(keyFile, "KEY-6-fat-undel.dd.md5.txt");
    test::TempDir dir;
    const std::string img = dir / "6-fat-undel.dd";
    const auto unzip = test::RunProcess({"/bin/sh", "-c", "gzip -dc \"$0\" > \"$1\"", gz, img});
    ASSERT_EQ(unzip.exitCode, 0) << unzip.err;
    std::vector<Expected> expected;
    std::ifstream key(keyFile);
    std::string line;
    while (std::getline(key, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream ls(line);
        std::string addr, path, size, md5;
        std::getline(ls, addr, '\t');
        std::getline(ls, path, '\t');
        std::getline(ls, size, '\t');
        std::getline(ls, md5, '\t');
        if (path.rfind("/System Volume Information/", 0) == 0) continue;
        expected.push_back({path, std::stoll(size), md5});
    }
    ASSERT_EQ(expected.size(), 6u);
    CheckImage(img, " -f fat", expected, false);
}
