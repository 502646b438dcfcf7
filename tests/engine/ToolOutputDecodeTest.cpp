#include <gtest/gtest.h>

#include "core/Text.h"
#include "engine/ToolOutputDecode.h"
#include "platform/CodePages.h"

using namespace brivo;

TEST(ToolOutputDecode, IsValidUtf8Table) {
    struct Case {
        std::string bytes;
        bool valid;
    } cases[] = {
        {"", true},
        {"plain ascii|123", true},
        {"\xC3\xA9", true},                  // é
        {"\xE2\x94\x80", true},              // box drawing
        {"\xF0\x9F\x98\x80", true},          // emoji
        {"\xE0\x80\x80", true},              // overlong: not checked
        {"\xED\xA0\x80", true},              // surrogate: not checked
        {"\xC0\xAF", false},                 // C0/C1 never lead
        {"\xC3", false},                     // truncated at the end
        {"\xE2\x94", false},
        {"\xC3\x41", false},                 // continuation out of range
        {"\x80", false},
        {"\xF5\x80\x80\x80", false},
        {"\xF4\x8F\xBF\xBF", true},
    };
    for (const auto& c : cases) EXPECT_EQ(IsValidUtf8(c.bytes), c.valid) << testing::PrintToString(c.bytes);
}

TEST(ToolOutputDecode, ScoresEachCodeUnit) {
    struct Case {
        const char* text;
        int64_t score;
    } cases[] = {
        {"aZ9", 3},
        {" \"@!#$%&'()+,-.;=[]^_{}~", 24},
        {"/:\\", 3},
        {"*?<>|`", 0},
        {"\xD0\x96", 6},          // Ж
        {"\xD4\xAF", 6},          // U+052F, last of the range
        {"\xEF\xBF\xBD", -20},    // U+FFFD
        {"\r\n\t", -30},
        {"\xE2\x95\x90", -6},     // ═
        {"\xC3\xA9", 0},          // é: other letters count nothing
        {"\xF0\x9F\x98\x80", 0},  // two surrogate units, 0 each
        {"\xFF", -20},            // not UTF-8: counts as U+FFFD
    };
    for (const auto& c : cases) EXPECT_EQ(ScoreDecodedText(c.text), c.score) << c.text;
}

TEST(ToolOutputDecode, PicksTheCandidateThatReadsAsText) {
    EXPECT_EQ(DecodeToolOutput(""), "");
    // Pure ASCII: every candidate ties, the first (UTF-8) wins.
    EXPECT_EQ(DecodeToolOutput("0|/Docs/a.txt (deleted)|5|r/r\r\n"), "0|/Docs/a.txt (deleted)|5|r/r\r\n");
    // Well-formed UTF-8 stays UTF-8, although its bytes read in code page 1251 are
    // mostly Cyrillic letters and would outscore it.
    for (const char* utf8 : {"/привет.txt", "/Ünïcödé файл.txt", "/日本語.doc"}) {
        EXPECT_EQ(DecodeToolOutput(utf8), utf8);
        EXPECT_GT(ScoreDecodedText(DecodeCodePage(utf8, 1251)), ScoreDecodedText(utf8));
    }
    // "/отчёт.doc" written in code page 1251: not UTF-8, the Cyrillic letters score 6 each
    // and beat the Western readings.
    EXPECT_EQ(DecodeToolOutput("/\xEE\xF2\xF7\xB8\xF2.doc"), "/отчёт.doc");
    // The same word in code page 866.
    EXPECT_EQ(DecodeToolOutput("/\xAE\xE2\xE7\xF1\xE2.doc"), "/отчёт.doc");
    // 0xE9 is a Cyrillic letter in both 1251 (й) and 866 (щ): the tie goes to the
    // candidate listed first.
    EXPECT_EQ(DecodeToolOutput("caf\xE9"), "caf\xD0\xB9");
}

TEST(ToolOutputDecode, BrokenUtf8NeverLeaksIntoTheText) {
    // Passes the lead-byte check but is a surrogate: decoded with replacement characters,
    // it loses to a code page, and whatever wins is valid UTF-8.
    for (const std::string& bytes : {std::string("a\xED\xA0\x80z"), std::string("\xE0\x80\x80"), std::string("\xFF\xFE\x00\x01", 4)}) {
        const std::string text = DecodeToolOutput(bytes);
        EXPECT_TRUE(IsValidUtf8(text));
        EXPECT_EQ(text.find("\xED\xA0"), std::string::npos);
    }
    EXPECT_EQ(DecodeUtf8Lenient("a\xED\xA0\x80z"), "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz");
    EXPECT_EQ(DecodeUtf8Lenient("\xE2\x94"), "\xEF\xBF\xBD");
}
