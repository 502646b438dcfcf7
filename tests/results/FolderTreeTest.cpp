#include <gtest/gtest.h>

#include <atomic>
#include <map>

#include "results/FolderTree.h"
#include "results/ResultsModel.h"

using namespace brivo;

namespace {

TFoundFile File(const std::string& path, bool dir = false) {
    TFoundFile f;
    f.FullPath = path;
    f.IsDir = dir;
    return f;
}

uint32_t Find(const TFolderTree& t, const std::string& path) {
    for (uint32_t id = 0; id < t.NodeCount(); ++id)
        if (t.PathOf(id) == path) return id;
    return kNoFolder;
}

// "path files/total [D][L]" for every folder, in the tree's own order.
std::vector<std::string> Describe(const TFolderTree& t) {
    std::vector<std::string> out;
    for (uint32_t id = 0; id < t.NodeCount(); ++id) {
        const TFolderNode& n = t.Node(id);
        out.push_back(t.PathOf(id) + " " + std::to_string(n.Files) + "/" + std::to_string(n.Total) +
                      (n.Deleted ? " D" : "") + (n.Lost ? " L" : ""));
    }
    return out;
}

} // namespace

TEST(FolderTree, FoldersCountsAndMarksOfEveryPathForm) {
    const TFoundFiles found = {
        File("/Users/Bob/a.txt"),
        File("Users\\bob2\\b.txt"),              // backslashes, no leading separator
        File("  /Users//Bob/c.txt \r"),          // blanks around, an empty part
        File("top.txt"),                          // in the root
        File("/Users/Old", true),                 // a deleted folder with nothing found in it
        File("/Users/Bob", true),                 // a deleted folder that holds results
        File("/$OrphanFiles/lost.bin"),
        File("/$OrphanFiles/Folder at cluster 9/x.jpg"),
        File("/Data/$OrphanFiles/not-lost.txt"),  // only the root's lost folder is
        File("C:\\Users\\Ann\\doc.txt"),          // a Recycle Bin original
        File("/Data/file:stream"),                // a named stream lies in its file's folder
    };
    const TFolderTree t = BuildFolderTree(found);
    EXPECT_EQ(Describe(t), (std::vector<std::string>{
                               "/ 1/11",
                               "/$OrphanFiles 1/2 L",
                               "/$OrphanFiles/Folder at cluster 9 1/1 L",
                               "/C: 0/1",
                               "/C:/Users 0/1",
                               "/C:/Users/Ann 1/1",
                               "/Data 1/2",
                               "/Data/$OrphanFiles 1/1",
                               "/Users 2/5",
                               "/Users/Bob 2/2 D",
                               "/Users/bob2 1/1",
                               "/Users/Old 0/0 D",
                           }));
    EXPECT_EQ(t.FolderOf(0), Find(t, "/Users/Bob"));
    EXPECT_EQ(t.FolderOf(2), Find(t, "/Users/Bob"));
    EXPECT_EQ(t.FolderOf(3), 0u);
    EXPECT_EQ(t.FolderOf(4), Find(t, "/Users"));  // a folder's own row lies in its parent
    EXPECT_EQ(t.FolderOf(found.size()), kNoFolder);
    // Rows and children agree.
    for (uint32_t id = 1; id < t.NodeCount(); ++id) EXPECT_EQ(t.Child(t.Node(id).Parent, t.Node(id).Row), id);
    EXPECT_EQ(t.Child(0, t.Node(0).ChildCount), kNoFolder);
}

// The readers list no folders among their results: the deleted ones come as paths of their
// own, in whatever form the readers write paths. Only folders holding results are drawn.
TEST(FolderTree, DeletedFoldersTheScanNamed) {
    const TFoundFiles found = {File("/Docs/Old/a.txt"), File("Docs\\Old\\Sub\\b.txt"), File("/Docs/c.txt"),
                               File("/Pics/d.jpg")};
    const std::vector<std::string> deleted = {"Docs/Old", " /Docs/Old/Sub ", "/Gone/Empty", "/Pics/Missing", "/", ""};
    const TFolderTree t = BuildFolderTree(found, nullptr, &deleted);
    EXPECT_EQ(Describe(t), (std::vector<std::string>{
                               "/ 0/4",
                               "/Docs 1/3",
                               "/Docs/Old 1/2 D",
                               "/Docs/Old/Sub 1/1 D",
                               "/Pics 1/1",
                           }));
}

TEST(FolderTree, SubtreesFollowTheResultsThroughASortAndCountMarks) {
    TFoundFiles found = {File("/b/2.txt"), File("/a/x/1.txt"), File("/a/3.txt"), File("/c.txt"), File("/a/x/y/4.txt")};
    TFolderTree t = BuildFolderTree(found);
    const uint32_t a = Find(t, "/a"), x = Find(t, "/a/x"), b = Find(t, "/b");
    auto under = [&](uint32_t folder) {
        std::vector<std::string> paths;
        for (size_t i = 0; i < found.size(); ++i)
            if (t.Contains(folder, i)) paths.push_back(found[i].FullPath);
        return paths;
    };
    EXPECT_EQ(under(a), (std::vector<std::string>{"/a/x/1.txt", "/a/3.txt", "/a/x/y/4.txt"}));
    EXPECT_EQ(under(x), (std::vector<std::string>{"/a/x/1.txt", "/a/x/y/4.txt"}));
    EXPECT_EQ(under(0).size(), found.size());

    const std::vector<size_t> order = SortResults(found, rcSize, false);  // all sizes equal: by path, descending
    ASSERT_FALSE(order.empty());
    ASSERT_TRUE(t.Reorder(order));
    EXPECT_EQ(under(a), (std::vector<std::string>{"/a/x/y/4.txt", "/a/x/1.txt", "/a/3.txt"}));
    EXPECT_EQ(under(b), (std::vector<std::string>{"/b/2.txt"}));
    EXPECT_FALSE(t.Reorder({0, 1}));  // not this scan's results

    std::vector<bool> checks(found.size(), false);
    for (size_t i = 0; i < found.size(); ++i) checks[i] = found[i].FullPath == "/a/x/y/4.txt" || found[i].FullPath == "/b/2.txt";
    const std::vector<uint64_t> counts = t.CheckedPerFolder(checks);
    EXPECT_EQ(counts[0], 2u);
    EXPECT_EQ(counts[a], 1u);
    EXPECT_EQ(counts[x], 1u);
    EXPECT_EQ(counts[b], 1u);
    EXPECT_EQ(t.CheckedPerFolder({true})[0], 1u);  // fewer marks than results
}

TEST(FolderTree, StopsOnRequestAndCopesWithNothing) {
    std::atomic<bool> stop{true};
    const TFoundFiles found(10, File("/a/b.txt"));
    EXPECT_TRUE(BuildFolderTree(found, &stop).Empty());
    const TFolderTree none = BuildFolderTree({});
    ASSERT_EQ(none.NodeCount(), 1u);
    EXPECT_EQ(none.Node(0).Total, 0u);
    EXPECT_EQ(none.PathOf(0), "/");
    // A hostile depth is walked without recursion.
    std::string deep;
    for (int i = 0; i < 100000; ++i) deep += "/d";
    const TFolderTree t = BuildFolderTree({File(deep + "/f")});
    EXPECT_EQ(t.NodeCount(), 100001u);
    EXPECT_EQ(t.Node(0).Total, 1u);
    EXPECT_EQ(t.FolderOf(0), 100000u);
}

TEST(FolderTree, PathsSharingTheStartOfTheirTextFindTheirOwnFolders) {
    // Each path after the one before it: a shared start that ends inside a name, another
    // separator, a deeper and a shallower folder.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"/a/bc/1", "/a/bc"}, {"/a/b/2", "/a/b"},      {"/a/bc/3", "/a/bc"}, {"/a\\b\\4", "/a/b"},
        {"/a/b/c/d/5", "/a/b/c/d"}, {"/a/b/6", "/a/b"}, {"/a/7", "/a"},      {"/ab/8", "/ab"},
        {"9", "/"},          {"/a//b/c/10", "/a/b/c"},
    };
    TFoundFiles found;
    for (const auto& c : cases) found.push_back(File(c.first));
    const TFolderTree t = BuildFolderTree(found);
    for (size_t i = 0; i < cases.size(); ++i) EXPECT_EQ(t.PathOf(t.FolderOf(i)), cases[i].second) << cases[i].first;
    EXPECT_EQ(t.NodeCount(), 7u);  // / a ab a/b a/bc a/b/c a/b/c/d
}
