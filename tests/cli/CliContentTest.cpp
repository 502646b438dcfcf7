#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include <set>

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

} // namespace
} // namespace brivo
