#include <gtest/gtest.h>

#include "RecordingHost.h"
#include "filters/ScopeFilter.h"

namespace brivo {
namespace {

TEST(ScopeFilter, NormalizeScopePath) {
    const std::pair<const char*, const char*> cases[] = {
        {"/Users/Bob", "users/bob"},          {"C:/Users/Bob/a.txt", "users/bob/a.txt"},
        {"\\Users\\\\Bob//a.txt", "users/bob/a.txt"}, {"C:", ""},
        {"  /Docs/  ", "docs"},               {"\\\\server\\share\\x", "server/share/x"},
        {"/", ""},                            {"/Ünï/CAFÉ", "Ünï/cafÉ"},
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(NormalizeScopePath(in), want) << in;
}

TFoundFiles Paths(std::initializer_list<const char*> paths) {
    TFoundFiles out;
    int n = 1;
    for (const char* p : paths) {
        TFoundFile f;
        f.Inode = std::to_string(n++);
        f.FullPath = p;
        out.push_back(f);
    }
    return out;
}

std::vector<std::string> PathsOf(const TFoundFiles& found) {
    std::vector<std::string> out;
    for (const auto& f : found) out.push_back(f.FullPath);
    return out;
}

TEST(ScopeFilter, FolderKeepsWholeComponentsOnly) {
    test::RecordingHost host;
    TScanState st;
    st.FFound = Paths({"/Users/Bob/a.txt", "/users/BOB/x/y.doc", "/Users/Bob", "/Users/Bobby/a.txt", "/Users/a.txt",
                       "C:/Users/Bob/b.txt"});
    ApplyScopeFilter(st, host, TScanWhere::swFolder, "/Users/Bob");
    EXPECT_EQ(PathsOf(st.FFound),
              (std::vector<std::string>{"/Users/Bob/a.txt", "/users/BOB/x/y.doc", "/Users/Bob", "C:/Users/Bob/b.txt"}));
    EXPECT_EQ(host.MemoMessages().back(), "Fast scope filter: mode=2 path=\"/Users/Bob\" kept=4 of 6");

    st.FFound = Paths({"/a", "/b/c"});
    ApplyScopeFilter(st, host, TScanWhere::swFolder, "/");
    EXPECT_EQ(st.FFound.size(), 2u);
}

TEST(ScopeFilter, WholeDiskAndImageKeepEverything) {
    test::RecordingHost host;
    TScanState st;
    st.FFound = Paths({"/a", "/b"});
    ApplyScopeFilter(st, host, TScanWhere::swDisk, "");
    ApplyScopeFilter(st, host, TScanWhere::swDiskImage, "");
    EXPECT_EQ(st.FFound.size(), 2u);
    EXPECT_EQ(host.MemoMessages(), (std::vector<std::string>{"Fast scope filter: whole disk, kept 2 entries.",
                                                             "Fast scope filter: whole disk image, kept 2 entries."}));
}

TEST(ScopeFilter, RecycleBinKeepsRecycleFoldersAnywhereThenEnriches) {
    test::RecordingHost host;
    TScanState st;
    st.FFound = Paths({"/$RECYCLE.BIN/S-1-5-21-1/$RABC123.txt", "/$Recycle.Bin", "/Users/$Recycle.Bin.txt",
                       "/Old/$Recycle.Bin/x.txt"});
    ApplyScopeFilter(st, host, TScanWhere::swRecycleBin, "/$Recycle.Bin");
    const auto memo = host.MemoMessages();
    ASSERT_GE(memo.size(), 2u);
    EXPECT_EQ(memo[0], "Fast scope filter: mode=3 path=\"/$Recycle.Bin\" kept=3 of 4");
    EXPECT_NE(memo[1].find("Recycle Bin enrichment"), std::string::npos) << memo[1];
    for (const auto& f : st.FFound) EXPECT_NE(f.FullPath, "/Users/$Recycle.Bin.txt");
}

} // namespace
} // namespace brivo
