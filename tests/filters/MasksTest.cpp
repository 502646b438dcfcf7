#include "filters/Masks.h"
#include "filters/Wildcard.h"

#include <gtest/gtest.h>

namespace brivo {
namespace {

TEST(ParseMasks, SplitsAtCommasAndSemicolonsAndTrims) {
    struct TCase {
        const char* Text;
        TMaskList Expected;
    };
    const TCase cases[] = {
        {"*.jpg; *.png;;", {"*.jpg", "*.png"}},
        {"   ", {"*.*"}},
        {"", {"*.*"}},
        {",;, ;", {"*.*"}},
        {"*.jpg *.png", {"*.jpg *.png"}},  // a blank is not a separator
        {" *.b ,*.a,*.b\t", {"*.b", "*.a", "*.b"}},  // order and duplicates kept
        {"report", {"report"}},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ParseMasks(c.Text), c.Expected) << "\"" << c.Text << "\"";
}

TEST(CurrentMaskText, ReadsTheChosenCategoryTrimmed) {
    TScanChoice choice;
    choice.MaskTexts = {" *.* ", "*.doc", " *.jpg,*.png ", "  ", "*.mp4"};
    const std::pair<int, const char*> cases[] = {
        {0, "*.*"}, {1, "*.doc"}, {2, "*.jpg,*.png"}, {3, "*.*"},  // empty text gives "*.*"
        {4, "*.mp4"}, {5, "*.*"}, {-1, "*.*"},
    };
    for (const auto& [index, expected] : cases) {
        choice.WhatIndex = index;
        EXPECT_EQ(CurrentMaskText(choice), expected) << index;
    }
}

TEST(DefaultMaskText, CategoriesStartWithTheirMaskTextsAndParseCleanly) {
    EXPECT_EQ(DefaultMaskText(kWhatAllCustom), "*.*");
    EXPECT_EQ(DefaultMaskText(kWhatDocuments),
              "*.pdf,*.doc,*.docx,*.rtf,*.txt,*.odt,*.xls,*.xlsx,*.ppt,*.pptx,*.csv,*.xml,*.json,"
              "*.md,*.log,*.zip,*.rar,*.7z");
    EXPECT_EQ(DefaultMaskText(kWhatImages),
              "*.jpg,*.jpeg,*.png,*.gif,*.bmp,*.tif,*.tiff,*.webp,*.heic,*.raw,*.nef,*.cr2,*.arw");
    EXPECT_EQ(DefaultMaskText(kWhatMusic), "*.mp3,*.wav,*.flac,*.aac,*.m4a,*.ogg,*.wma,*.alac");
    EXPECT_EQ(DefaultMaskText(kWhatVideos),
              "*.mp4,*.mkv,*.avi,*.mov,*.wmv,*.m4v,*.webm,*.mpeg,*.mpg,*.3gp");
    EXPECT_EQ(DefaultMaskText(7), "*.*");
    for (int i = 0; i < kWhatCount; ++i)
        EXPECT_NO_THROW(ValidateMasks(ParseMasks(DefaultMaskText(i)))) << i;
    EXPECT_TRUE(MatchesAnyMask("Users/Bob/Scan.PDF", ParseMasks(DefaultMaskText(kWhatDocuments))));
    EXPECT_FALSE(MatchesAnyMask("Users/Bob/Scan.jpg", ParseMasks(DefaultMaskText(kWhatDocuments))));
}

TEST(IsDefaultMaskList, OneCatchAllMaskTurnsTheCleanupFilterOn) {
    EXPECT_TRUE(IsDefaultMaskList({}));
    EXPECT_TRUE(IsDefaultMaskList({" *.JPG ", " *.* "}));
    EXPECT_TRUE(IsDefaultMaskList({"*.jpg", "*"}));
    EXPECT_TRUE(IsDefaultMaskList(ParseMasks("")));
    EXPECT_FALSE(IsDefaultMaskList({"*.jpg"}));
    EXPECT_FALSE(IsDefaultMaskList({"**", "*.*.*", "?*"}));
}

} // namespace
} // namespace brivo
