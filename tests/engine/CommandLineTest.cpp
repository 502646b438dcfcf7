#include <gtest/gtest.h>

#include "engine/CommandLine.h"

using namespace brivo;

TEST(CommandLine, ArgumentsStayWholeAndTheLogLineKeepsItsLook) {
    TToolCommand c;
    c.Program = "/usr/bin/fls";
    c.AddWords(" -f ntfs").Add("-r").Add("-m").Add("/").AddWords("").AddPath("/dev/sdb1").Add("123");
    EXPECT_EQ(c.Args, (std::vector<std::string>{"-f", "ntfs", "-r", "-m", "/", "/dev/sdb1", "123"}));
    EXPECT_EQ(c.Display(), "\"/usr/bin/fls\" -f ntfs -r -m / \"/dev/sdb1\" 123");

    const std::string odd = "/tmp/a \"b\" 'c' |$x\n\xff.img";
    TToolCommand o;
    o.Program = "/e/icat";
    o.AddPath(odd);
    ASSERT_EQ(o.Args.size(), 1u);
    EXPECT_EQ(o.Args[0], odd);  // passed on untouched; only the shown text is escaped
    EXPECT_EQ(o.Display(), "\"/e/icat\" \"/tmp/a \\\"b\\\" 'c' |$x\\n\\xFF.img\"");
}

TEST(CommandLine, DisplayQuotingKeepsOneArgumentOnOneReadableLine) {
    struct Case {
        const char* in;
        const char* shown;
    } cases[] = {
        {"", "\"\""},
        {"/x/Ünïcödé файл.E01", "\"/x/Ünïcödé файл.E01\""},
        {"a\\b", "\"a\\\\b\""},
        {"t\tr\r\x01\x7f", "\"t\\tr\\r\\x01\\x7F\""},
        {"\xC3(\xE2\x82", "\"\\xC3(\\xE2\\x82\""},  // broken UTF-8 sequences
    };
    for (const auto& c : cases) EXPECT_EQ(QuoteForDisplay(c.in), c.shown) << c.in;
    EXPECT_EQ(SplitOptionWords("  -f\tfat  "), (std::vector<std::string>{"-f", "fat"}));
    EXPECT_TRUE(SplitOptionWords(" ").empty());
}
