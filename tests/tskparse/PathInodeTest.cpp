#include <gtest/gtest.h>

#include <stdexcept>

#include "EngineForTest.h"
#include "RecordingHost.h"
#include "TestSupport.h"
#include "engine/CommandLine.h"
#include "tskparse/PathInode.h"

using namespace brivo;
using brivo::test::RecordingHost;

TEST(PathInode, PathHelpers) {
    struct NormCase {
        const char* in;
        const char* out;
    } norms[] = {{"", ""},           {"  ", ""},         {"/", "/"},          {"///", "/"},
                 {"Users\\Bob\\", "/Users/Bob"}, {" /a/b/ ", "/a/b"}, {"a", "/a"}};
    for (const auto& c : norms) EXPECT_EQ(NormalizeTskPath(c.in), c.out) << c.in;

    struct SegCase {
        const char* in;
        std::vector<std::string> segs;
    } segs[] = {{"", {}},
                {"/", {}},
                {"\\", {}},
                {"/Users/Bob", {"Users", "Bob"}},
                {"//Users// Bob /", {"Users", "Bob"}},
                {"\\$Recycle.Bin", {"$Recycle.Bin"}}};
    for (const auto& c : segs) EXPECT_EQ(SplitPathSegments(c.in), c.segs) << c.in;

    struct LastCase {
        const char* in;
        const char* out;
    } lasts[] = {{"", ""},         {"/", "/"},           {"//", "/"},          {"/Photos", "Photos"},
                 {"/a/Photos/", "Photos"}, {"a\\b\\c", "c"}, {"/f.txt:stream", "stream"}, {"name", "name"}};
    for (const auto& c : lasts) EXPECT_EQ(LastPathComponent(c.in), c.out) << c.in;
}

TEST(PathInode, ListCommandPassesPathsWholeAndChecksTheAddress) {
    const TToolCommand fat = BuildFlsListCommand("/tmp/e/fls", " -f fat", "/dev/sdb1", "");
    EXPECT_EQ(fat.Args, (std::vector<std::string>{"-f", "fat", "-p", "-m", "/", "/dev/sdb1"}));
    EXPECT_EQ(fat.Display(), "\"/tmp/e/fls\" -f fat -p -m / \"/dev/sdb1\"");
    const TToolCommand odd = BuildFlsListCommand("/tmp/e/fls", "", "/img/my \"disk\".dd", " 1234-144-6 ");
    EXPECT_EQ(odd.Args, (std::vector<std::string>{"-p", "-m", "/", "/img/my \"disk\".dd", "1234-144-6"}));
    EXPECT_THROW(BuildFlsListCommand("/tmp/e/fls", "", "/img/a.dd", "12 -r"), std::runtime_error);
}

TEST(PathInode, RootNeedsNoEngine) {
    TScanState st;
    TEngineContext ctx;  // no engine folder at all: nothing may be looked up
    RecordingHost host;
    EXPECT_EQ(ResolvePathInode(st, ctx, host, "/dev/none", ""), "");
    EXPECT_EQ(ResolvePathInode(st, ctx, host, "/dev/none", "/"), "");
    EXPECT_TRUE(host.MemoMessages().empty());
}

// The FAT16 fixture holds the live folders /Projects/Alpha/src and the deleted folder
// /Projects/Beta; the exFAT one /Projects/Apollo and the deleted /Projects/Apollo/Archive.
TEST(PathInode, ResolvesNestedFoldersOnRealVolumes) {
    test::TempDir dir;
    test::EngineForTest engine;
    RecordingHost host;
    struct Case {
        const char* image;
        const char* fsSwitch;
        const char* path;
    } cases[] = {{"fat16.img", " -f fat", "/projects/ALPHA/Src"}, {"exfat.img", "", "\\PROJECTS\\apollo\\"}};
    for (const auto& c : cases) {
        const std::string img = test::UnpackFixture(c.image, dir);
        TScanState st;
        st.FLastFsSwitch = c.fsSwitch;
        const std::string inode = ResolvePathInode(st, engine.ctx, host, img, c.path);
        ASSERT_FALSE(inode.empty()) << c.image;
        // Listing that address shows the folder's own entries, paths starting below it.
        TToolCommand ls;
        ls.Program = RequireTool(engine.ctx, host, "fls");
        ls.AddWords(c.fsSwitch).Add("-p").AddPath(img).Add(inode);
        const std::string listing = engine.ctx.FRunner.RunCaptureText(ls.Program, ls.Args);
        EXPECT_NE(listing.find(std::string(c.image) == "fat16.img" ? "main.c" : "design.txt"), std::string::npos)
            << listing;
    }
}

TEST(PathInode, LogsEachStepAndPassesTheFoundAddressOn) {
    test::TempDir dir;
    test::EngineForTest engine;
    RecordingHost host;
    const std::string img = test::UnpackFixture("fat16.img", dir);
    TScanState st;
    st.FLastFsSwitch = " -f fat";
    const std::string inode = ResolvePathInode(st, engine.ctx, host, img, "/Projects/Alpha");
    const std::string fls = "\"" + engine.ctx.FToolsDir + "/fls\" -f fat -p -m / \"" + img + "\"";
    // Projects is directory 7 on this volume (fls -p: "d/d 7: Projects").
    EXPECT_EQ(host.MemoMessages(), (std::vector<std::string>{"Resolving path inode: step 1/2 (Projects) ...", "> " + fls,
                                                             "Resolving path inode: step 2/2 (Alpha) ...",
                                                             "> " + fls + " 7"}));
    EXPECT_EQ(inode, "582");
}

TEST(PathInode, DeletedFolderOrUnreadableSourceFailsAtTheSegment) {
    test::TempDir dir;
    test::EngineForTest engine;
    RecordingHost host;
    struct Case {
        const char* image;
        const char* path;
        const char* message;
    } cases[] = {
        {"fat16.img", "/Projects/Beta/data", "Cannot resolve folder path segment \"Beta\" under \"/Projects/Beta/data\"."},
        {"exfat.img", "/Projects/Apollo/Archive",
         "Cannot resolve folder path segment \"Archive\" under \"/Projects/Apollo/Archive\"."},
        {"exfat.img", "/Music/playlist.m3u", nullptr},  // a file is not a folder
    };
    for (const auto& c : cases) {
        const std::string img = test::UnpackFixture(c.image, dir);
        TScanState st;
        try {
            ResolvePathInode(st, engine.ctx, host, img, c.path);
            ADD_FAILURE() << c.path;
        } catch (const std::runtime_error& e) {
            if (c.message) {
                EXPECT_STREQ(e.what(), c.message);
            }
        }
    }
    // The engine's error text for a source it cannot read matches nothing.
    test::WriteFileBytes(dir / "junk.dd", std::string(4096, 'x'));
    TScanState st;
    try {
        ResolvePathInode(st, engine.ctx, host, dir / "junk.dd", "/Docs");
        FAIL();
    } catch (const std::runtime_error& e) {
        EXPECT_STREQ(e.what(), "Cannot resolve folder path segment \"Docs\" under \"/Docs\".");
    }
}
