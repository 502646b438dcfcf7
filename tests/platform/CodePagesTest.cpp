#include <gtest/gtest.h>

#include <stdexcept>

#include "platform/CodePages.h"

namespace brivo {
namespace {

TEST(CodePages, EveryByteDecodesAsWindowsDoesIncludingUndefinedOnes) {
    struct Case { int cp; unsigned char byte; char32_t want; };
    const Case cases[] = {
        // 1252: the five bytes the code page leaves undefined pass through as C1 controls.
        {1252, 0x80, 0x20AC}, {1252, 0x81, 0x0081}, {1252, 0x8D, 0x008D}, {1252, 0x8F, 0x008F},
        {1252, 0x90, 0x0090}, {1252, 0x9D, 0x009D}, {1252, 0x9F, 0x0178}, {1252, 0xE9, 0x00E9},
        // 1251: 0x98 is its only undefined byte.
        {1251, 0x98, 0x0098}, {1251, 0xC0, 0x0410}, {1251, 0xFF, 0x044F}, {1251, 0xA8, 0x0401},
        // 437 and 866: low bytes and 0x7F are controls, not the glyphs.
        {437, 0x01, 0x0001}, {437, 0x1A, 0x001A}, {437, 0x7F, 0x007F}, {437, 0x00, 0x0000},
        {437, 0x81, 0x00FC}, {437, 0xE1, 0x00DF}, {437, 0xFF, 0x00A0},
        {866, 0x0F, 0x000F}, {866, 0x80, 0x0410}, {866, 0xF0, 0x0401}, {866, 0xFF, 0x00A0},
        // 850, the Western European OEM code page: 0x9D is the slashed O, 437's yen sign.
        {850, 0x9D, 0x00D8}, {437, 0x9D, 0x00A5}, {850, 0x01, 0x0001}, {852, 0x9D, 0x0141},
        {737, 0x80, 0x0391}, {857, 0x8D, 0x0131},
    };
    for (const auto& c : cases)
        EXPECT_EQ(static_cast<uint32_t>(CodePageTable(c.cp)[c.byte]), static_cast<uint32_t>(c.want))
            << "cp" << c.cp << " byte " << int(c.byte);

    // Every table is complete and agrees with ASCII below 0x80.
    for (int cp : {437, 737, 775, 850, 852, 855, 857, 862, 866, 1251, 1252}) {
        const auto& t = CodePageTable(cp);
        for (int b = 0; b < 0x80; ++b) EXPECT_EQ(static_cast<uint32_t>(t[b]), static_cast<uint32_t>(b)) << cp;
        for (int b = 0x80; b < 0x100; ++b) EXPECT_NE(static_cast<uint32_t>(t[b]), 0xFFFDu) << cp << " " << b;
    }
}

TEST(CodePages, DecodesWholeTextsToUtf8) {
    EXPECT_EQ(DecodeCodePage("\x81\x9D", 1252), "\xC2\x81\xC2\x9D");
    EXPECT_EQ(DecodeCodePage("caf\xE9 \x80", 1252), "caf\xC3\xA9 \xE2\x82\xAC");
    EXPECT_EQ(DecodeCodePage("\xCF\xF0\xE8\xE2\xE5\xF2", 1251), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
    EXPECT_EQ(DecodeCodePage("\x8F\xE0\xA8\xA2\xA5\xE2", 866), "\xD0\x9F\xD1\x80\xD0\xB8\xD0\xB2\xD0\xB5\xD1\x82");
    EXPECT_EQ(DecodeCodePage(std::string_view("a\0b", 3), 437), std::string("a\0b", 3));
    EXPECT_EQ(DecodeCodePage("", 437), "");
    EXPECT_TRUE(IsSupportedCodePage(OemCodePage()));
    EXPECT_EQ(AnsiCodePage(), 1252);
    EXPECT_FALSE(IsSupportedCodePage(65001));
    EXPECT_THROW(DecodeCodePage("x", 65001), std::invalid_argument);
}

// The OEM code page Windows would use for the user's language.
TEST(CodePages, OemCodePageFollowsTheLocaleLanguage) {
    const struct {
        const char* locale;
        int cp;
    } cases[] = {
        {"C", 437},           {"POSIX", 437},          {"C.UTF-8", 437},       {"", 437},
        {"en_US.UTF-8", 437}, {"en", 437},             {"en_GB.UTF-8", 850},   {"de_DE.UTF-8", 850},
        {"fr_FR@euro", 850},  {"nb_NO.ISO-8859-1", 850}, {"pt_BR", 850},       {"pl_PL.UTF-8", 852},
        {"ru_RU.KOI8-R", 866}, {"el_GR.UTF-8", 737},   {"tr_TR.UTF-8", 857},   {"ja_JP.UTF-8", 437},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(OemCodePageForLocale(c.locale), c.cp) << c.locale;
        EXPECT_TRUE(IsSupportedCodePage(OemCodePageForLocale(c.locale))) << c.locale;
    }
}

TEST(CodePages, EncodesCodePointsAsUtf8) {
    EXPECT_EQ(EncodeUtf8(U'A'), "A");
    EXPECT_EQ(EncodeUtf8(0xE9), "\xC3\xA9");
    EXPECT_EQ(EncodeUtf8(0x20AC), "\xE2\x82\xAC");
    EXPECT_EQ(EncodeUtf8(0x1F600), "\xF0\x9F\x98\x80");
    EXPECT_EQ(EncodeUtf8(0xD800), "\xEF\xBF\xBD");    // a lone surrogate is no character
    EXPECT_EQ(EncodeUtf8(0x110000), "\xEF\xBF\xBD");
}

} // namespace
} // namespace brivo
