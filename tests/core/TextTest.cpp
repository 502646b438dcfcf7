#include <gtest/gtest.h>

#include <vector>

#include "core/Text.h"

using namespace brivo;

TEST(Text, FindNoCaseFindsTheFirstOccurrence) {
    const size_t npos = std::string_view::npos;
    struct Case {
        const char* s;
        const char* needle;
        size_t at;
    } cases[] = {
        {"/a (DELETED) (deleted)", " (deleted)", 2},
        {"(deleted)", "(deleted)", 0},
        {"x(deleted", "(deleted)", npos},
        {"/a.txt (Deleted-realloc)", "(deleted)", npos},
        {"abc(x)", "c(x)", 2},        // anchor "(" not the first character
        {"c(x)c(X)", "c(x)", 0},
        {"b(x) C(X)", "c(x)", 5},
        {"(x)", "c(x)", npos},        // anchor found before any possible start
        {"HeLLo world", "lo", 3},     // letters only
        {"ÄbcÄ", "bc", 2},            // non-ASCII bytes never fold
        {"", "a", npos},
        {"abc", "", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(FindNoCase(c.s, c.needle), c.at) << c.s << " / " << c.needle;
    EXPECT_EQ(std::string(TrimView("\t\r\n x y \x01")), "x y");
    EXPECT_EQ(LowerAscii("ÄBc_Z"), "Äbc_z");
}

// Each ill-formed input under the three policies: how many bytes the first step takes and
// what it stands for.
TEST(Text, DecodeUtf8AtFollowsThePolicyForInvalidBytes) {
    struct Case {
        const char* name;
        std::string bytes;
        size_t stopLen;  // with Stop (0: invalid)
        char32_t cp;     // the valid code point, when stopLen > 0
        size_t replaceLen;
    } cases[] = {
        {"ASCII", "a", 1, U'a', 1},
        {"two bytes", "\xC3\xA9", 2, 0xE9, 2},
        {"four bytes", "\xF0\x9F\x98\x80", 4, 0x1F600, 4},
        {"largest", "\xF4\x8F\xBF\xBF", 4, 0x10FFFF, 4},
        {"stray continuation", "\x80z", 0, 0, 1},
        {"overlong two bytes", "\xC0\xAF", 0, 0, 1},
        {"overlong three bytes", "\xE0\x80\xAF", 0, 0, 1},
        {"encoded surrogate", "\xED\xA0\x80", 0, 0, 1},
        {"above U+10FFFF", "\xF4\x90\x80\x80", 0, 0, 1},
        {"truncated three bytes", "\xE2\x94", 0, 0, 2},
        {"three bytes cut by ASCII", "\xE2\x94z", 0, 0, 2},
        {"F5 lead", "\xF5\x80", 0, 0, 1},
    };
    for (const auto& c : cases) {
        char32_t cp = 0;
        EXPECT_EQ(DecodeUtf8At(c.bytes, 0, cp, TBadUtf8::Stop), c.stopLen) << c.name;
        if (c.stopLen) {
            EXPECT_EQ(cp, c.cp) << c.name;
        }
        EXPECT_EQ(DecodeUtf8At(c.bytes, 0, cp, TBadUtf8::Replace), c.replaceLen) << c.name;
        if (!c.stopLen) {
            EXPECT_EQ(cp, kUtf8Replacement) << c.name;
        }
        const size_t rawLen = DecodeUtf8At(c.bytes, 0, cp, TBadUtf8::RawByte);
        if (!c.stopLen) {
            EXPECT_EQ(rawLen, 1u) << c.name;
            EXPECT_EQ(cp, 0xDC00u + static_cast<unsigned char>(c.bytes[0])) << c.name;
        }
    }
    char32_t cp = 0;
    EXPECT_EQ(DecodeUtf8At("", 0, cp, TBadUtf8::Replace), 0u);  // the end: nothing to take
    EXPECT_EQ(DecodeUtf8Lenient("a\xED\xA0\x80z\xE2\x94"), "a\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBDz\xEF\xBF\xBD");
}

TEST(Text, Utf16UnitsOfUtf8) {
    std::vector<uint32_t> units;
    TUtf16Units it("a\xF0\x9F\x98\x80\xFF\xC3\xA9");
    for (uint32_t u; it.Next(u);) units.push_back(u);
    EXPECT_EQ(units, (std::vector<uint32_t>{'a', 0xD83D, 0xDE00, 0xDCFF, 0xE9}));
}

TEST(Text, Utf16ToUtf8PairsSurrogatesAndReplacesLoneOnes) {
    const std::u16string text = u"x\U0001F600" + std::u16string(1, char16_t(0xD800)) + u"y" +
                                std::u16string(1, char16_t(0xDC00));
    const std::string want = "x\xF0\x9F\x98\x80\xEF\xBF\xBDy\xEF\xBF\xBD";
    EXPECT_EQ(Utf16ToUtf8(text), want);

    std::vector<uint8_t> le;
    for (char16_t c : text) {
        le.push_back(static_cast<uint8_t>(c & 0xFF));
        le.push_back(static_cast<uint8_t>(c >> 8));
    }
    le.push_back(0x41);  // half a unit: never read
    EXPECT_EQ(Utf16LeToUtf8(le, 0, 100), want);                  // clipped to the bytes there
    EXPECT_EQ(Utf16LeToUtf8(le, 2, 2), "\xF0\x9F\x98\x80");      // from a byte offset
    EXPECT_EQ(Utf16LeToUtf8(le, 2, 1), "\xEF\xBF\xBD");          // a pair cut in half
    EXPECT_EQ(Utf16LeToUtf8(le, le.size(), 5), "");
    // Long texts go through the buffer in several pieces.
    const std::u16string longText(1000, u'\u00E9');
    EXPECT_EQ(Utf16ToUtf8(longText).size(), 2000u);
}
