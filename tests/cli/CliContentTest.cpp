#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <filesystem>
#include <set>

#include <unistd.h>

#include "TestSupport.h"

namespace brivo {
namespace {

using test::RunProcess;

// --types names what the content search looks for; it needs a search to steer, and an
// unknown kind is refused with the known ones listed.
TEST(CliContent, TypesAreCheckedBeforeAnyScan) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("fat32-formatted.img", dir);
    const struct {
        std::vector<std::string> args;
        std::string says;
    } refused[] = {
        {{"--types", "jpg"}, "--types needs --deep or --content-only"},
        {{"--content-only", "--types", "jpg,nosuch"}, "unknown kind \"nosuch\""},
        {{"--deep", "--types", " , "}, "no kind given"},
    };
    for (const auto& c : refused) {
        std::vector<std::string> argv{test::CliPath(), "scan"};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.push_back(img);
        const auto r = RunProcess(argv);
        EXPECT_EQ(r.exitCode, 2) << c.says;
        EXPECT_NE(r.err.find(c.says), std::string::npos) << r.err;
        if (c.says.starts_with("unknown")) {
            EXPECT_NE(r.err.find("known kinds: "), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("jpg"), std::string::npos) << r.err;
            EXPECT_NE(r.err.find("pdf"), std::string::npos) << r.err;
        }
    }
}

// Content results in JSON say how they were found and where they start; --types keeps the
// search to the kinds named, however they are spelled.
TEST(CliContent, JsonNamesContentResultsAndTypesNarrowTheSearch) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("fat32-formatted.img", dir);
    const auto r = RunProcess({test::CliPath(), "scan", "--content-only", "--types", "JPEG,.gif", "--format", "json", img});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out);
    EXPECT_EQ(doc.at("route"), "content");
    std::set<std::string> exts;
    for (const auto& o : doc.at("results")) {
        EXPECT_EQ(o.at("found_by"), "content");
        ASSERT_TRUE(o.contains("offset"));
        EXPECT_EQ(o.at("offset").get<uint64_t>() % 512, 0u);
        const std::string path = o.at("path");
        exts.insert(path.substr(path.rfind('.') + 1));
    }
    EXPECT_EQ(exts, (std::set<std::string>{"gif", "jpg"}));
    EXPECT_EQ(doc.at("count"), 3);  // camera.jpg, progressive.jpg, anim.gif

    // A deep scan lists the folders' files by metadata, with no offset.
    const auto deep = RunProcess({test::CliPath(), "scan", "--deep", "--types", "pdf", "--format", "json", img});
    ASSERT_EQ(deep.exitCode, 0) << deep.err;
    size_t content = 0;
    const auto deepDoc = nlohmann::json::parse(deep.out);
    for (const auto& o : deepDoc.at("results")) {
        if (o.at("found_by") == "content") {
            ++content;
        } else {
            EXPECT_EQ(o.at("found_by"), "deep sweep");
            EXPECT_FALSE(o.contains("offset"));
        }
    }
    EXPECT_EQ(content, 1u);  // the PDF no folder lists any more
}

// ext2 keeps a deleted file's indirect block, with its pointers, between its 12th and 13th
// data blocks. With the file's inode wiped only its content can find it, and the search
// must step over that block to give the photo back whole.
TEST(CliContent, Ext2PhotoWhoseIndirectBlockSitsInsideItComesBackWhole) {
    if (::access("/sbin/mke2fs", X_OK) != 0 || ::access("/sbin/debugfs", X_OK) != 0)
        GTEST_SKIP() << "mke2fs and debugfs (e2fsprogs) are needed to make the ext2 volume";
    test::TempDir dir;
    const std::string tree = dir / "tree", img = dir / "e2.img", out = dir / "out";
    std::filesystem::create_directories(tree);
    const std::string photo = test::ReadFileBytes(test::FixturePath("carve/photo.jpg"));
    ASSERT_GT(photo.size(), 13u * 1024);
    test::WriteFileBytes(tree + "/photo.jpg", photo);
    ASSERT_EQ(RunProcess({"/sbin/mke2fs", "-q", "-F", "-t", "ext2", "-b", "1024", "-d", tree, img, "2M"}).exitCode, 0);
    const auto blocks = RunProcess({"/sbin/debugfs", "-R", "blocks /photo.jpg", img});
    ASSERT_EQ(blocks.exitCode, 0);
    for (const char* step : {"kill_file /photo.jpg", "clri /photo.jpg", "unlink /photo.jpg"})
        ASSERT_EQ(RunProcess({"/sbin/debugfs", "-w", "-R", step, img}).exitCode, 0) << step;

    const auto rec = RunProcess({test::CliPath(), "recover", "--deep", "--all", "--types", "jpg", "--out", out, img});
    ASSERT_EQ(rec.exitCode, 0) << rec.err;
    size_t whole = 0, seen = 0;
    for (const auto& e : std::filesystem::recursive_directory_iterator(out)) {
        if (!e.is_regular_file()) continue;
        ++seen;
        if (test::ReadFileBytes(e.path().string()) == photo) ++whole;
    }
    EXPECT_EQ(whole, 1u) << seen << " files recovered; the photo's blocks: " << blocks.out;
}

// ext2 after rm -rf keeps the names, not the sizes or maps: a name is given with the finds
// of its kind in its area, as paths that are results of the same listing, and the table
// lists them after the results.
TEST(CliContent, Ext2NamesCarryTheFindsBesideThem) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("ext2-home.img", dir);
    const auto r = RunProcess({test::CliPath(), "scan", "--deep", "--format", "json", img});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    const auto doc = nlohmann::json::parse(r.out);
    std::set<std::string> paths;
    for (const auto& o : doc.at("results")) paths.insert(o.at("path").get<std::string>());
    size_t names = 0;
    for (const auto& o : doc.at("results")) {
        if (!o.contains("candidates")) continue;
        ++names;
        EXPECT_EQ(o.at("found_by"), "metadata");
        ASSERT_FALSE(o.at("candidates").empty());
        for (const auto& c : o.at("candidates")) EXPECT_TRUE(paths.count(c.get<std::string>())) << c;
    }
    EXPECT_GE(names, 4u);
    const auto table = RunProcess({test::CliPath(), "scan", "--deep", img});
    ASSERT_EQ(table.exitCode, 0) << table.err;
    const size_t at = table.out.find("Names without content, and the files of their kind found in the same area:");
    ASSERT_NE(at, std::string::npos) << table.out;
    EXPECT_NE(table.out.find("/assets/video/promo.mp4\n    /$Found by content/MP4/", at), std::string::npos) << table.out.substr(at);
    // --all leaves the names out (nothing to copy) instead of failing them, and says so.
    const auto rec = RunProcess({test::CliPath(), "recover", "--deep", "--all", "--out", dir / "out", img});
    EXPECT_EQ(rec.exitCode, 0) << rec.err << rec.out;
    EXPECT_NE(rec.out.find(" results are only names and were left out"), std::string::npos) << rec.out;
    EXPECT_NE(rec.out.find(" Failed: 0"), std::string::npos) << rec.out;
}

} // namespace
} // namespace brivo
