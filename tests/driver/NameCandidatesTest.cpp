// Names whose content no map places, shown beside the content finds of their kind in
// their area, and joined to one only when the size the file had proves it.
#include <gtest/gtest.h>

#include "carve/ContentSearch.h"
#include "driver/NameCandidates.h"

namespace brivo {
namespace {

TFoundFile Find(const std::string& path, uint64_t at, int64_t size, int score = kCarveCompleteScore) {
    TFoundFile f;
    f.FullPath = path;
    f.FoundBy = TFoundBy::Content;
    f.SizeBytes = size;
    f.DamageScore = score;
    f.DamageText = score == kCarveCompleteScore ? kCarveComplete : kCarveCutShort;
    f.Extents = {{at, static_cast<uint64_t>(size)}};
    return f;
}

TNameWithoutContent Name(const std::string& path, uint64_t provenSize, bool listed, TReaderResult& r) {
    TNameWithoutContent n;
    n.Row.Inode = "36";
    n.Row.FullPath = path;
    n.Row.FileType = "r/r";
    n.Row.HasModDate = true;
    n.Row.ModDateUtc = 46000.5;
    n.Area = {1 << 20, 8 << 20};  // a block group of 8 MiB from 1 MiB
    n.ProvenSize = provenSize;
    if (listed) {
        n.Index = r.Found.size();
        r.Found.push_back(n.Row);
    } else {
        ++r.HiddenByCleanup;
    }
    return n;
}

TEST(NameCandidates, JoinsOnlyOnProofAndOtherwiseListsTheFindsBeside) {
    const uint64_t in = 2 << 20, before = 512 << 10, after = 9 << 20;
    struct Case {
        const char* what;
        const char* name;
        uint64_t provenSize;
        bool listed;  // false: hidden by the cleanup filter as an empty file
        std::vector<TFoundFile> finds;
        int joinedTo;                 // index of the find that takes the name; -1 none
        std::vector<int> candidates;  // finds listed beside the name
    };
    const Case cases[] = {
        {"the one whole find of its size and kind joins", "/p/team.jpg", 70388, false,
         {Find("/c/a.jpg", in, 1884), Find("/c/b.jpg", in + 4096, 70388)}, 1, {}},
        {"a listed name joins too, its row goes", "/p/team.JPEG", 70388, true, {Find("/c/b.jpg", in, 70388)}, 0, {}},
        {"a size and kind alike but cut short is a guess", "/p/brief.pdf", 25314, false,
         {Find("/c/x.pdf", in, 25314, kCarveCutShortScore)}, -1, {0}},
        {"two whole finds of that size: no proof", "/p/a.zip", 18116, false,
         {Find("/c/x.zip", in, 18116), Find("/c/y.zip", in + 65536, 18116)}, -1, {0, 1}},
        {"no size known (ext2 zeroes it): beside only", "/p/promo.mp4", 0, false,
         {Find("/c/x.mp4", in, 300152), Find("/c/y.mp4", in + 65536, 200152)}, -1, {0, 1}},
        {"other kinds and other areas are not candidates", "/p/team.jpg", 70388, false,
         {Find("/c/x.png", in, 70388), Find("/c/y.jpg", before, 70388), Find("/c/z.jpg", after, 70388)}, -1, {}},
        {"a name without an ending has no kind", "/p/README", 1200, false, {Find("/c/x.txt", in, 1200)}, -1, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        TReaderResult r;
        TFoundFile other;
        other.Inode = "12";
        other.FullPath = "/kept.txt";
        r.Found.push_back(other);
        r.HiddenByCleanup = 3;
        r.NamesWithoutContent.push_back(Name(c.name, c.provenSize, c.listed, r));
        const uint64_t hiddenBefore = r.HiddenByCleanup;
        TFoundFiles finds = c.finds;
        TNullReport report;
        ShowNamesBesideContent(r, finds, report);
        EXPECT_TRUE(r.NamesWithoutContent.empty());
        ASSERT_EQ(finds.size(), c.finds.size());
        ASSERT_FALSE(r.Found.empty());
        EXPECT_EQ(r.Found[0].FullPath, "/kept.txt");
        const bool nameListed = r.Found.size() == 2;
        if (c.joinedTo >= 0) {
            EXPECT_EQ(finds[c.joinedTo].FullPath, c.name);
            EXPECT_TRUE(finds[c.joinedTo].HasModDate);
            EXPECT_EQ(finds[c.joinedTo].Extents, c.finds[c.joinedTo].Extents);
            EXPECT_FALSE(nameListed);  // listed once, as the find
            EXPECT_EQ(r.HiddenByCleanup, c.listed ? hiddenBefore : hiddenBefore - 1);
            continue;
        }
        for (size_t i = 0; i < finds.size(); ++i) EXPECT_EQ(finds[i].FullPath, c.finds[i].FullPath);
        if (c.candidates.empty()) {
            // As before: listed as it was, or still hidden and counted.
            EXPECT_EQ(nameListed, c.listed);
            EXPECT_EQ(r.HiddenByCleanup, hiddenBefore);
            if (nameListed) {
                EXPECT_TRUE(r.Found[1].Candidates.empty());
            }
            continue;
        }
        ASSERT_TRUE(nameListed);
        EXPECT_EQ(r.HiddenByCleanup, c.listed ? hiddenBefore : hiddenBefore - 1);
        const TFoundFile& row = r.Found[1];
        EXPECT_EQ(row.FullPath, c.name);
        std::vector<std::string> want;
        for (int i : c.candidates) want.push_back(c.finds[i].FullPath);
        EXPECT_EQ(row.Candidates, want);
        EXPECT_EQ(row.DamageText, want.size() == 1 ? "Name only: 1 file of this kind found in the same area"
                                                   : "Name only: 2 files of this kind found in the same area");
    }
}

// A find one name's proof takes is no other name's candidate, whatever their order.
TEST(NameCandidates, AJoinedFindIsNobodysCandidate) {
    TReaderResult r;
    r.NamesWithoutContent.push_back(Name("/p/a.jpg", 0, false, r));
    r.NamesWithoutContent.push_back(Name("/p/b.jpg", 5000, false, r));
    TFoundFiles finds = {Find("/c/x.jpg", 2 << 20, 5000), Find("/c/y.jpg", 3 << 20, 7000)};
    TNullReport report;
    ShowNamesBesideContent(r, finds, report);
    EXPECT_EQ(finds[0].FullPath, "/p/b.jpg");
    ASSERT_EQ(r.Found.size(), 1u);
    EXPECT_EQ(r.Found[0].FullPath, "/p/a.jpg");
    EXPECT_EQ(r.Found[0].Candidates, std::vector<std::string>{"/c/y.jpg"});
    EXPECT_EQ(r.HiddenByCleanup, 0u);
}

} // namespace
} // namespace brivo
