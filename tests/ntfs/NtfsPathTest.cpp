// Folder paths from parent references: chains, missing ancestors, loops, and the sequence
// number check that keeps a deleted file out of a folder whose record was reused.
#include <gtest/gtest.h>

#include "NtfsTestImage.h"
#include "ntfs/NtfsNodeMap.h"

namespace brivo {
namespace {

using test::Ref;

struct N {
    uint64_t inode;
    uint64_t parentRef;
    const char* name;
    uint16_t seq;
    bool inUse;
};

TNtfsNodeMap MapOf(std::initializer_list<N> nodes) {
    TNtfsNodeMap m;
    for (const auto& n : nodes) m.Add(n.inode, n.parentRef, n.seq, n.name, true, n.inUse);
    return m;
}

TEST(NtfsPath, FollowsParentsUpToTheHighestKnownAncestor) {
    struct Case {
        const char* what;
        TNtfsNodeMap map;
        uint64_t start;
        const char* path;
    } cases[] = {
        {"chain to the root", MapOf({{40, Ref(30, 1), "Bob", 1, true}, {30, Ref(5, 5), "Users", 1, true}, {5, Ref(5, 5), ".", 5, true}}),
         Ref(40, 1), "Users/Bob"},
        {"missing ancestor", MapOf({{40, Ref(30, 1), "Bob", 1, true}, {5, Ref(5, 5), ".", 5, true}}), Ref(40, 1), "Bob"},
        {"loop ends at the first repeat", MapOf({{40, Ref(30, 1), "Bob", 1, true}, {30, Ref(40, 1), "Users", 1, true}}),
         Ref(40, 1), "Users/Bob"},
        {"self parent", MapOf({{40, Ref(40, 1), "Bob", 1, true}}), Ref(40, 1), "Bob"},
        {"parent 0 ends the chain", MapOf({{40, Ref(0, 1), "Bob", 1, true}, {0, Ref(5, 5), "$MFT", 1, true}}), Ref(40, 1), "Bob"},
        {"nameless ancestor is passed through",
         MapOf({{40, Ref(30, 1), "Bob", 1, true}, {30, Ref(20, 1), "", 1, true}, {20, Ref(5, 5), "Users", 1, true}}),
         Ref(40, 1), "Users/Bob"},
        {"start missing", MapOf({{5, Ref(5, 5), ".", 5, true}}), Ref(99, 1), ""},
        {"start is the root", MapOf({{5, Ref(5, 5), ".", 5, true}}), Ref(5, 5), ""},
        {"records added out of order, later one wins",
         MapOf({{40, Ref(30, 1), "Old", 1, true}, {30, Ref(5, 5), "Users", 1, true}, {40, Ref(30, 1), "Bob", 1, true}}),
         Ref(40, 1), "Users/Bob"},
    };
    for (const auto& c : cases) EXPECT_EQ(BuildMftPath(c.start, c.map), c.path) << c.what;
}

TEST(NtfsPath, AcceptsAParentOnlyWhileItsSequenceNumberFits) {
    struct Case {
        const char* what;
        uint16_t refSeq;
        uint16_t folderSeq;
        bool folderInUse;
        const char* path;
    } cases[] = {
        {"live folder, same number", 3, 3, true, "Docs/Old/a.txt"},
        {"folder deleted with the file (freed: number one higher)", 3, 4, false, "Docs/Old/a.txt"},
        {"freed at 0xFFFF wraps to 1, skipping 0", 0xFFFF, 1, false, "Docs/Old/a.txt"},
        {"record reused by a live folder", 3, 4, true, "a.txt"},
        {"record reused and freed again", 3, 5, false, "a.txt"},
        {"older reference than the record", 4, 3, true, "a.txt"},
    };
    for (const auto& c : cases) {
        // Old (record 30) sits in Docs (record 20); the file refers to 30 with refSeq.
        TNtfsNodeMap m = MapOf({{5, Ref(5, 5), ".", 5, true},
                                {20, Ref(5, 5), "Docs", 1, true},
                                {30, Ref(20, 1), "Old", c.folderSeq, c.folderInUse}});
        std::vector<std::string> deleted;
        std::string dir = BuildMftPath(Ref(30, c.refSeq), m, &deleted);
        EXPECT_EQ(dir.empty() ? std::string("a.txt") : dir + "/a.txt", c.path) << c.what;
        // A folder of the path whose record is free was deleted (the tree draws it so).
        const bool oldInPath = dir == "Docs/Old";
        EXPECT_EQ(deleted, oldInPath && !c.folderInUse ? std::vector<std::string>{"Docs/Old"} : std::vector<std::string>{})
            << c.what;
    }
    // A reused record puts its new occupant nowhere in the old file's path, however deep.
    TNtfsNodeMap m = MapOf({{5, Ref(5, 5), ".", 5, true},
                            {20, Ref(5, 5), "Other", 2, true},  // was "Docs" at seq 1, now reused
                            {30, Ref(20, 1), "Old", 4, false}});
    EXPECT_EQ(BuildMftPath(Ref(30, 3), m), "Old");
}

TEST(NtfsPath, DepthIsBounded) {
    TNtfsNodeMap m;
    m.Add(5, Ref(5, 5), 5, ".", true, true);
    const uint64_t n = 5000;
    for (uint64_t i = 100; i < 100 + n; ++i) m.Add(i, Ref(i == 100 ? 5 : i - 1, 1), 1, "d", true, true);
    const std::string p = BuildMftPath(Ref(100 + n - 1, 1), m);
    EXPECT_EQ(p.size(), 2 * kMaxMftPathDepth - 1);
}

TEST(NtfsNodeMap, FindsRecordsAddedInAnyOrder) {
    TNtfsNodeMap m;
    m.Add(7, Ref(5, 5), 2, "seven", false, false);
    m.Add(3, Ref(5, 5), 1, "three", true, true);
    m.Add(7, Ref(3, 1), 3, "seven-new", false, true);
    TNtfsMftNode node;
    ASSERT_TRUE(m.Find(7, node));
    EXPECT_EQ(node.Name, "seven-new");
    EXPECT_EQ(node.Parent, 3u);
    EXPECT_EQ(node.ParentSeq, 1);
    EXPECT_EQ(node.Seq, 3);
    EXPECT_TRUE(node.InUse);
    EXPECT_FALSE(node.IsDir);
    ASSERT_TRUE(m.Find(3, node));
    EXPECT_TRUE(node.IsDir);
    EXPECT_FALSE(m.Find(4, node));
    EXPECT_EQ(m.Size(), 2u);
}

} // namespace
} // namespace brivo
