#include <gtest/gtest.h>

#include <stdexcept>

#include "engine/CommandLine.h"

using namespace brivo;

TEST(CommandLine, SplitsAsCallersBuildThem) {
    struct Case {
        const char* line;
        std::vector<std::string> words;
    } cases[] = {
        {"\"/usr/bin/fls\" -f ntfs -r -p -m / -d \"/dev/sdb1\" 123",
         {"/usr/bin/fls", "-f", "ntfs", "-r", "-p", "-m", "/", "-d", "/dev/sdb1", "123"}},
        {"\"/tmp/my images/a b.dd\"", {"/tmp/my images/a b.dd"}},
        {"  a\t\tb  ", {"a", "b"}},
        {"x \"\" y", {"x", "", "y"}},
        {"pre\"fix mid\"post", {"prefix midpost"}},
    };
    for (const auto& c : cases) EXPECT_EQ(SplitCommandLine(c.line), c.words) << c.line;
}

TEST(CommandLine, RefusesWhatCannotBeSplitBack) {
    EXPECT_THROW(SplitCommandLine("\"/usr/bin/fls\" \"/dev/sd"), std::runtime_error);
    EXPECT_THROW(SplitCommandLine("   "), std::runtime_error);
    for (const char* bad : {"/img/a\"b.dd", "/img/a\nb.dd", "/img/a\tb", "/img/\x7f"})
        EXPECT_THROW(QuoteArg(bad), std::runtime_error) << bad;
    try {
        QuoteArg("/img/a\"b.dd");
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find("double quote"), std::string::npos);
    }
}

TEST(CommandLine, QuotedPathsRoundTrip) {
    const std::string paths[] = {"/dev/sdb1", "/home/bob/My Disk (2).img", "/x/Ünïcödé файл.E01", "/a|b", ""};
    for (const auto& p : paths) {
        const auto words = SplitCommandLine("\"/usr/bin/icat\" -R " + QuoteArg(p) + " 12");
        ASSERT_EQ(words.size(), 4u) << p;
        EXPECT_EQ(words[2], p);
    }
}
