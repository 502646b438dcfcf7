#include <gtest/gtest.h>

#include "tskparse/FlsBodyLine.h"

using namespace brivo;

TEST(FlsBodyLine, SplitsFieldsCountedFromTheEnd) {
    struct Case {
        const char* line;
        bool ok;
        const char* name;
        const char* inode;
        const char* mode;
        int64_t size, mtime;
    } cases[] = {
        {"0|/Docs/report.docx (deleted)|1234-128-3|r/rrwxrwxrwx|0|0|512|1600000000|1600000000|1600000000|1600000000",
         true, "/Docs/report.docx (deleted)", "1234-128-3", "r/rrwxrwxrwx", 512, 1600000000},
        // A name holding "|" makes twelve or more fields; the name keeps its bars.
        {"0|/a|b|c.txt (deleted)|7|r/r|0|0|9|1|2|3|4", true, "/a|b|c.txt (deleted)", "7", "r/r", 9, 2},
        // Ten separators or fewer: not a body line.
        {"0|/a.txt|7|r/r|0|0|9|1|2|3", false, "", "", "", 0, 0},
        {"|||||||||", false, "", "", "", 0, 0},
        // Fields that are not numbers give -1; blanks around fields are trimmed.
        {"0|  /x.bin  | 12 | r/r |0|0|big|1|n/a|3|4", true, "/x.bin", "12", "r/r", -1, -1},
        {"0|/x.bin|12|r/r|0|0|99999999999999999999|1|-5|3|4", true, "/x.bin", "12", "r/r", -1, -5},
        // An empty name or address fails.
        {"0| |12|r/r|0|0|1|1|1|1|1", false, "", "", "", 0, 0},
        {"0|/x.bin||r/r|0|0|1|1|1|1|1", false, "", "", "", 0, 0},
    };
    for (const auto& c : cases) {
        std::string name, inode, mode;
        int64_t size = 0, mtime = 0;
        ASSERT_EQ(SplitBodyLine(c.line, name, inode, mode, size, mtime), c.ok) << c.line;
        if (!c.ok) continue;
        EXPECT_EQ(name, c.name);
        EXPECT_EQ(inode, c.inode);
        EXPECT_EQ(mode, c.mode);
        EXPECT_EQ(size, c.size) << c.line;
        EXPECT_EQ(mtime, c.mtime) << c.line;
    }
}

TEST(FlsBodyLine, DirectoryTests) {
    struct ModeCase {
        const char* mode;
        bool dir;
    } modes[] = {
        {"d/drwxrwxrwx", true}, {"D/D", true},  {"r/drwxr-xr-x", true}, {"-/d", true},
        {"r/rrwxrwxrwx", false}, {"v/v", false}, {"", false},          {"  ", false},
        {"040755", true},        {"100644", false}, {"16877", true},   {"33188", false},  // decimal 040755 / 0100644
        {"0x41ED", true},        {"$41ED", true},   {"0x81A4", false}, {"abc", false},
    };
    for (const auto& c : modes) EXPECT_EQ(IsDirMode(c.mode), c.dir) << c.mode;

    struct NameCase {
        const char* name;
        bool dirLike;
    } names[] = {
        {"/Docs/", true},  {"C:\\Docs\\", true}, {"/Docs/README", true}, {"/a.b/c", true},
        {"/", true},       {"/Docs/..", true},   {".", true},            {"", true},
        {"/Docs/a.txt", false}, {"/Docs/.profile", false}, {"C:\\x\\y.doc", false},
    };
    for (const auto& c : names) EXPECT_EQ(IsDirLikeName(c.name), c.dirLike) << c.name;
}

TEST(FlsBodyLine, TryParseOctal) {
    uint64_t v = 99;
    EXPECT_TRUE(TryParseOctal("755", v));
    EXPECT_EQ(v, 0755u);
    EXPECT_TRUE(TryParseOctal("0", v));
    EXPECT_EQ(v, 0u);
    for (const char* bad : {"", "8", "12a", " 7", "-1", "7777777777777777777777777"})
        EXPECT_FALSE(TryParseOctal(bad, v)) << bad;
}
