#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <map>
#include <regex>

#include "TestSupport.h"

namespace brivo {
namespace {

using test::ProcessResult;
using test::RunProcess;

// Column values of the CLI's TSV output by inode: {path, modified}.
std::map<std::string, std::pair<std::string, std::string>> TsvByInode(const std::string& text) {
    std::map<std::string, std::pair<std::string, std::string>> rows;
    size_t start = text.find('\n');
    while (start != std::string::npos && start + 1 < text.size()) {
        const size_t end = text.find('\n', start + 1);
        const std::string line = text.substr(start + 1, end == std::string::npos ? std::string::npos : end - start - 1);
        start = end;
        std::vector<std::string> f;
        for (size_t b = 0, t;; b = t + 1) {
            t = line.find('\t', b);
            f.push_back(line.substr(b, t == std::string::npos ? std::string::npos : t - b));
            if (t == std::string::npos) break;
        }
        if (f.size() >= 4) rows[f[0]] = {f[1], f[3]};
    }
    return rows;
}

class CliOptions : public testing::Test {
protected:
    void SetUp() override { img_ = test::UnpackFixture("ntfs.img", dir_); }
    ProcessResult Cli(std::vector<std::string> args) {
        args.insert(args.begin(), test::CliPath());
        return RunProcess(args);
    }
    test::TempDir dir_;
    std::string img_;
};

TEST_F(CliOptions, VersionPrintsTheProgramAndItsVersion) {
    const ProcessResult r = Cli({"--version"});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_EQ(r.out, "brivo-recovery-cli 2.4\n");
}

// The default masks and the cleanup filter leave out README (no dot) and an empty file:
// the summary on stderr says so, and --show-hidden lists them.
TEST_F(CliOptions, HiddenEntriesAreCountedAndShownOnRequest) {
    const ProcessResult plain = Cli({"scan", "--format", "tsv", img_});
    ASSERT_EQ(plain.exitCode, 0) << plain.err;
    std::smatch m;
    ASSERT_TRUE(std::regex_search(plain.err, m, std::regex(R"(Left out: (\d+) deleted entries the masks did not match, (\d+) hidden by the cleanup filter \(--show-hidden lists them\)\.)")))
        << plain.err;
    EXPECT_GE(std::stoi(m[1]), 1);  // README
    EXPECT_GE(std::stoi(m[2]), 1);  // empty.txt
    EXPECT_EQ(plain.out.find("/Users/Alice/README"), std::string::npos);

    const ProcessResult all = Cli({"scan", "--format", "tsv", "--show-hidden", img_});
    ASSERT_EQ(all.exitCode, 0) << all.err;
    EXPECT_NE(all.out.find("/Users/Alice/README\t"), std::string::npos) << all.out;
    EXPECT_NE(all.out.find("/Users/Bob/empty.txt\t"), std::string::npos) << all.out;
    EXPECT_EQ(all.err.find("Left out"), std::string::npos) << all.err;
}

// NTFS stores paths without a leading "/": they are shown, and matched by --path-mask, in
// the same "/" form as every other route's.
TEST_F(CliOptions, PathMaskMatchesWithOrWithoutLeadingSlash) {
    const ProcessResult tsv = Cli({"scan", "--format", "tsv", img_});
    ASSERT_EQ(tsv.exitCode, 0) << tsv.err;
    for (const auto& [inode, row] : TsvByInode(tsv.out)) EXPECT_EQ(row.first.substr(0, 1), "/") << row.first;

    std::string results[2];
    int i = 0;
    for (const char* mask : {"/Users/Bob/*", "Users\\Bob\\*"}) {
        const ProcessResult r = Cli({"recover", "--out", dir_ / ("out" + std::to_string(i)), "--path-mask", mask, img_});
        EXPECT_EQ(r.exitCode, 0) << mask << "\n" << r.err;
        results[i++] = r.out;
    }
    EXPECT_NE(results[0].find("Recovery finished. OK: "), std::string::npos) << results[0];
    EXPECT_EQ(results[0].find("OK: 0 "), std::string::npos) << results[0];
    EXPECT_EQ(results[0], results[1]);
}

TEST_F(CliOptions, ChoicesThatMatchNothingAreReported) {
    struct Case {
        std::vector<std::string> args;
        int code;
        const char* err;
    };
    const Case cases[] = {
        {{"recover", "--out", dir_ / "o1", "--inode", "999999", img_}, 2, "brivo-recovery-cli: error: no result matches"},
        {{"recover", "--out", dir_ / "o2", "--path-mask", "/Nope/*", img_}, 2, "brivo-recovery-cli: error: no result matches"},
        {{"scan", "--scope", "/Nope", img_}, 1, "brivo-recovery-cli: warning: the folder /Nope is not on the volume"},
        {{"scan", "--scope", "/Users/Nobody", img_}, 1, "is not on the volume"},
    };
    for (const auto& c : cases) {
        const ProcessResult r = Cli(c.args);
        EXPECT_EQ(r.exitCode, c.code) << c.args[0] << " " << c.args[3] << "\n" << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("Please mark"), std::string::npos) << r.err;
    }
    // A folder that exists but holds no deleted file is no mistake.
    const ProcessResult empty = Cli({"scan", "--scope", "/Users/Alice", "--masks", "*.none", img_});
    EXPECT_EQ(empty.exitCode, 0) << empty.err;
}

// Times are stored in UTC on every route; the table and TSV show local time, JSON the
// same instant with the zone offset.
TEST_F(CliOptions, TimesAreLocalWithTheOffsetInJson) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", "<+0530>-5:30", 1);  // the child programs inherit it
    const ProcessResult tsv = Cli({"scan", "--format", "tsv", img_});
    const ProcessResult json = Cli({"scan", "--format", "json", img_});
    const ProcessResult utcTsv = [&] {
        ::setenv("TZ", "UTC", 1);
        return Cli({"scan", "--format", "tsv", img_});
    }();
    if (old) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
    ASSERT_EQ(tsv.exitCode, 0) << tsv.err;
    ASSERT_EQ(json.exitCode, 0) << json.err;

    const auto local = TsvByInode(tsv.out), utc = TsvByInode(utcTsv.out);
    ASSERT_FALSE(local.empty());
    const std::regex item(R"re("inode": "([^"]+)", "path": "[^"]*", "size": \d+, "modified": "([^"]+)")re");
    int checked = 0;
    for (auto it = std::sregex_iterator(json.out.begin(), json.out.end(), item); it != std::sregex_iterator(); ++it) {
        const std::string inode = (*it)[1], iso = (*it)[2];
        ASSERT_TRUE(local.count(inode) && utc.count(inode)) << inode;
        EXPECT_EQ(iso.size(), 25u) << iso;
        EXPECT_EQ(iso.substr(19), "+05:30") << iso;
        std::string asText = iso.substr(0, 19);
        asText[10] = ' ';
        EXPECT_EQ(asText, local.at(inode).second) << inode;
        // Five and a half hours ahead of the UTC listing.
        struct tm a {}, b {};
        ASSERT_TRUE(strptime(local.at(inode).second.c_str(), "%Y-%m-%d %H:%M:%S", &a));
        ASSERT_TRUE(strptime(utc.at(inode).second.c_str(), "%Y-%m-%d %H:%M:%S", &b));
        EXPECT_EQ(timegm(&a) - timegm(&b), 5 * 3600 + 1800) << inode;
        ++checked;
    }
    EXPECT_GT(checked, 3);
}

} // namespace
} // namespace brivo
