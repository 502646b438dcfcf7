#include <gtest/gtest.h>

#include "core/ScanChoices.h"
#include "core/SourceSelection.h"

namespace brivo {
namespace {

TEST(ScanChoices, CliNamesFindTheirEntriesAndListIndicesMapToTheSameKinds) {
    for (size_t i = 0; i < kWhereKinds.size(); ++i) {
        TScanWhere w = TScanWhere::swDisk;
        ASSERT_TRUE(FindWhereByCliName(kWhereKinds[i].CliName, w)) << kWhereKinds[i].CliName;
        EXPECT_EQ(w, kWhereKinds[i].Where);
        EXPECT_EQ(CurrentScanWhere(static_cast<int>(i)), w);
        EXPECT_EQ(WhereKindIndex(w), static_cast<int>(i));
    }
    int what = -1;
    EXPECT_TRUE(FindWhatByCliName("images", what));
    EXPECT_EQ(what, kWhatImages);
    EXPECT_STREQ(kWhatCategories[kWhatAllCustom].Caption, "All/Custom Formats");

    TScanWhere unchanged = TScanWhere::swFolder;
    EXPECT_FALSE(FindWhereByCliName("Disk", unchanged));  // exact, lower-case names only
    EXPECT_EQ(unchanged, TScanWhere::swFolder);
    EXPECT_FALSE(FindWhatByCliName("", what));
    EXPECT_EQ(WhereCliNames(), "disk, image, folder or recycle");
    EXPECT_EQ(WhatCliNames(), "all, documents, images, music or videos");
}

} // namespace
} // namespace brivo
