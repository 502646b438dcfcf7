#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <map>

#include "RecordingHost.h"
#include "platform/DateTime.h"
#include "results/ResultsModel.h"

namespace brivo {
namespace {

// A host whose translations are visible: known texts map to a marked form.
class TranslatingHost : public test::RecordingHost {
public:
    std::map<std::string, std::string> table;
    std::string Translate(const std::string& text) override {
        auto it = table.find(text);
        return it == table.end() ? text : it->second;
    }
};

TFoundFile Make(const std::string& inode, const std::string& path, int64_t size = 0) {
    TFoundFile f;
    f.Inode = inode;
    f.FullPath = path;
    f.SizeBytes = size;
    return f;
}

std::vector<std::string> Inodes(const TFoundFiles& v) {
    std::vector<std::string> out;
    for (const auto& f : v) out.push_back(f.Inode);
    return out;
}

TEST(ResultsCells, FileNameAndFolderOfEveryPathForm) {
    // NTFS paths come without a leading "/", FAT and engine paths with one, Recycle Bin
    // originals with a drive: every one is shown in the same "/" form.
    struct Case { const char* path; const char* shown; const char* name; const char* folder; };
    const Case cases[] = {
        {"/Photos/2019/img.jpg", "/Photos/2019/img.jpg", "img.jpg", "/Photos/2019"},
        {"Users/Bob/report.docx", "/Users/Bob/report.docx", "report.docx", "/Users/Bob"},
        {"Users\\Bob\\report.docx", "/Users/Bob/report.docx", "report.docx", "/Users/Bob"},
        {"C:\\Docs\\x.txt", "C:/Docs/x.txt", "x.txt", "C:/Docs"},
        {"C:\\x", "C:/x", "x", "C:/"},
        {"\\a\\b.txt", "/a/b.txt", "b.txt", "/a"},
        {"\\", "/", "/", "/"},
        {"/dir/", "/dir/", "/dir/", "/dir"},
        {"a.txt", "/a.txt", "a.txt", "/"},
        {" \t/a/b.txt \r\n", "/a/b.txt", "b.txt", "/a"},
        {"/", "/", "/", "/"},
        {"", "", "", "/"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(ResultDisplayPath(c.path), c.shown) << c.path;
        EXPECT_EQ(ResultFileName(c.path), c.name) << c.path;
        EXPECT_EQ(ResultFolder(c.path), c.folder) << c.path;
    }
}

// Every route stores UTC; the cells show local time and JSON the offset with it.
TEST(ResultsCells, ModifiedTimesShowInLocalTime) {
    const char* old = std::getenv("TZ");
    const std::string saved = old ? old : "";
    ::setenv("TZ", "CET-1CEST,M3.5.0,M10.5.0/3", 1);
    ::tzset();
    TFoundFile f = Make("5", "/a.txt");
    f.ModDateUtc = EncodeDateTime(2024, 7, 15, 10, 0, 5);
    EXPECT_EQ(ModifiedCellText(f), "");  // a value without HasModDate is not a date
    f.HasModDate = true;
    EXPECT_EQ(ModifiedCellText(f), "2024-07-15 12:00:05");
    EXPECT_EQ(ModifiedIsoText(f), "2024-07-15T12:00:05+02:00");
    f.ModDateUtc = EncodeDateTime(2024, 1, 15, 23, 30, 0);
    EXPECT_EQ(ResultCellText(f, rcModified), "2024-01-16 00:30:00");
    ::setenv("TZ", "<-0330>3:30", 1);  // west of UTC, half-hour zone
    ::tzset();
    EXPECT_EQ(ModifiedIsoText(f), "2024-01-15T20:00:00-03:30");
    f.HasModDate = false;
    EXPECT_EQ(ModifiedCellText(f), "");
    EXPECT_EQ(ModifiedIsoText(f), "");
    if (old) ::setenv("TZ", saved.c_str(), 1); else ::unsetenv("TZ");
    ::tzset();
}

TEST(ResultsCells, FormatSizeBoundariesAndTranslatedUnits) {
    struct Case { int64_t bytes; const char* text; };
    const Case cases[] = {
        {-1, ""}, {0, "0 B"}, {1023, "1023 B"}, {1024, "1.0 KB"}, {1048575, "1024.0 KB"},
        {1048576, "1.0 MB"}, {1073741823, "1024.0 MB"}, {1073741824, "1.00 GB"},
        {INT64_MAX, "8589934592.00 GB"},
    };
    for (const auto& c : cases) EXPECT_EQ(FormatSize(c.bytes), c.text) << c.bytes;

    TranslatingHost host;
    host.table = {{"B", "o"}, {"KB", "Ko"}, {"GB", "Go"}};
    EXPECT_EQ(FormatSize(5, &host), "5 o");
    EXPECT_EQ(FormatSize(2048, &host), "2.0 Ko");
    EXPECT_EQ(FormatSize(2LL << 30, &host), "2.00 Go");
}

TEST(ResultsCells, ConditionDefaultsToUnknown) {
    TFoundFile f = Make("1", "/a");
    f.DamageText = "";
    EXPECT_EQ(ResultCellText(f, rcCondition), "Unknown");
    f.DamageText = "Partially overwritten";
    EXPECT_EQ(ResultCellText(f, rcCondition), "Partially overwritten");
    EXPECT_EQ(ResultCellText(f, 5), "");
    EXPECT_EQ(ResultKey(Make("12-128-3", "/x y/z")), "12-128-3|/x y/z");
}

TEST(ResultsCells, ColumnWidthsKeepTheirMinimums) {
    using W = std::array<int, kResultColumnCount>;
    EXPECT_EQ(ResultColumnWidths(1000), (W{215, 371, 90, 140, 160}));  // usable 976
    EXPECT_EQ(ResultColumnWidths(100), (W{150, 220, 90, 140, 150}));   // usable width floored at 300
    EXPECT_EQ(ResultColumnWidths(2024), (W{440, 760, 90, 140, 570}));
}

TEST(ResultsSort, TextCompareFoldsAsciiOnlyInUtf16Order) {
    struct Case { const char* a; const char* b; int sign; };
    const Case cases[] = {
        {"abc", "ABC", 0},
        {"a", "B", -1},
        {"ab", "abc", -1},               // a prefix sorts first
        {"_", "a", 1},                   // 'a' folds to 'A' (0x41) which is below '_' (0x5F)
        {"\xC3\xA9", "\xC3\x89", 1},     // é / É: not ASCII, not folded
        {"\xC3\xA9", "F", 1},            // U+00E9 above every ASCII letter
        // U+1F600 (surrogates D83D DE00) sorts below U+FF01 in UTF-16, above it by bytes.
        {"\xF0\x9F\x98\x80", "\xEF\xBC\x81", -1},
        {"x\xF0\x9F\x98\x80", "X\xEF\xBC\x81", -1},
        {"a\xFF", "a\xFE", 1},           // stray bytes still order consistently
        {"\xC3\xA9\xF0\x9F\x98\x80", "\xC3\xA9\xEF\xBC\x81", -1},  // same after a shared non-ASCII prefix
        {"Ab\xC3\xA9", "aB\xC3\xA9", 0},
        {"\xC3", "\xC3\xA9", 1},          // a cut sequence is a stray byte (DCC3), not a prefix
    };
    for (const auto& c : cases) {
        const int r = CompareTextAsciiCI(c.a, c.b);
        EXPECT_EQ((r > 0) - (r < 0), c.sign) << c.a << " vs " << c.b;
        const int back = CompareTextAsciiCI(c.b, c.a);
        EXPECT_EQ((back > 0) - (back < 0), -c.sign) << c.b << " vs " << c.a;
    }
}

// Four results whose keys tie in different columns so that each tie-break shows.
TFoundFiles SortFixture() {
    TFoundFile r1 = Make("1", "/b/Same.txt", 5);
    TFoundFile r2 = Make("2", "/a/same.TXT", 5);
    r2.HasModDate = true;
    r2.ModDateUtc = 44000.5;
    r2.DamageScore = 50;
    r2.DamageText = "Damaged";
    TFoundFile r3 = Make("3", "/a/Other.txt", 100);
    r3.HasModDate = true;
    r3.ModDateUtc = 44000.5;
    r3.DamageScore = 50;
    r3.DamageText = "Ok";
    TFoundFile r4 = Make("4", "/0/zed.bin", -1);
    r4.HasModDate = true;
    r4.ModDateUtc = 43000;
    r4.DamageScore = 0;
    r4.DamageText = "Good";
    return {r1, r2, r3, r4};
}

TEST(ResultsSort, EveryColumnWithTieBreaksAscendingAndDescending) {
    struct Case { int column; std::vector<std::string> ascending; };
    const Case cases[] = {
        {rcFile, {"3", "2", "1", "4"}},       // Other, same (/a/ before /b/), Same, zed
        {rcPath, {"4", "3", "2", "1"}},       // \0, then \a by name, then \b
        {rcSize, {"4", "2", "1", "3"}},       // -1, two 5s by path, 100
        {rcModified, {"1", "4", "3", "2"}},   // no date first, equal dates by path
        {rcCondition, {"1", "4", "2", "3"}},  // no estimate first, equal scores by text
        {9, {"4", "3", "2", "1"}},            // unknown column: path only
    };
    for (const auto& c : cases) {
        for (bool reversedInput : {false, true}) {
            TFoundFiles v = SortFixture();
            if (reversedInput) std::reverse(v.begin(), v.end());
            ApplyCurrentSort(v, c.column, true);
            EXPECT_EQ(Inodes(v), c.ascending) << "column " << c.column;
            ApplyCurrentSort(v, c.column, false);
            std::vector<std::string> desc(c.ascending.rbegin(), c.ascending.rend());
            EXPECT_EQ(Inodes(v), desc) << "column " << c.column << " descending";
        }
    }
    TFoundFiles v = SortFixture();
    ApplyCurrentSort(v, -1, false);  // scan order is kept
    EXPECT_EQ(Inodes(v), (std::vector<std::string>{"1", "2", "3", "4"}));
}

TEST(ResultsSort, EveryNegativeScoreCountsAsNoEstimateAndNanDateAsNone) {
    TFoundFile a = Make("a", "/x", 0), b = Make("b", "/y", 0), c = Make("c", "/z", 0);
    a.DamageScore = -5;
    a.DamageText = "Zzz";
    b.DamageScore = -1;
    b.DamageText = "aaa";
    c.DamageScore = 0;
    c.DamageText = "Good";
    TFoundFiles v{c, a, b};
    ApplyCurrentSort(v, rcCondition, true);
    EXPECT_EQ(Inodes(v), (std::vector<std::string>{"b", "a", "c"}));

    TFoundFile n = Make("n", "/n"), d = Make("d", "/d"), z = Make("z", "/z");
    n.HasModDate = true;
    n.ModDateUtc = std::numeric_limits<double>::quiet_NaN();
    d.HasModDate = true;
    d.ModDateUtc = 1.0;
    TFoundFiles w{d, n, z};
    ApplyCurrentSort(w, rcModified, true);
    EXPECT_EQ(Inodes(w), (std::vector<std::string>{"n", "z", "d"}));
}

TEST(ResultsSort, ColumnClickTogglesSameColumnAndRestartsAnother) {
    TSortState s;
    ApplyColumnClick(s, 2);
    EXPECT_EQ(s.FSortColumn, 2);
    EXPECT_TRUE(s.FSortAscending);
    ApplyColumnClick(s, 2);
    EXPECT_FALSE(s.FSortAscending);
    ApplyColumnClick(s, 2);
    EXPECT_TRUE(s.FSortAscending);
    ApplyColumnClick(s, 2);
    ApplyColumnClick(s, 0);
    EXPECT_EQ(s.FSortColumn, 0);
    EXPECT_TRUE(s.FSortAscending);
}

TFoundFiles Numbered(size_t n) {
    TFoundFiles v;
    for (size_t i = 0; i < n; ++i) {
        char name[32];
        std::snprintf(name, sizeof name, "/f%06zu.bin", i);
        v.push_back(Make(std::to_string(i), name, static_cast<int64_t>(i)));
    }
    return v;
}

TEST(ResultsPopulate, EveryResultListedWithItsStatus) {
    {
        test::RecordingHost host;
        TFoundFiles v = Numbered(10001);
        const auto out = PopulateResultsModel(v, {}, TSortState{}, host);
        EXPECT_EQ(out.Total, 10001u);
        EXPECT_EQ(out.Checked.size(), 10001u);
        EXPECT_TRUE(host.memo.empty());
        EXPECT_EQ(host.status, "Scan finished. Found entries: 10001");
    }
    {
        test::RecordingHost host;
        TFoundFiles v = Numbered(3);
        PopulateResultsModel(v, {}, TSortState{}, host, /*stopped=*/true);
        EXPECT_EQ(host.status, "Scan stopped. Found entries: 3");
    }
    {
        TranslatingHost host;
        host.table = {{"Scan finished. Found entries: %d", "Fertig: %d Einträge"}};
        TFoundFiles v;
        const auto out = PopulateResultsModel(v, {true, true}, TSortState{2, false}, host);
        EXPECT_EQ(out.Total, 0u);
        EXPECT_EQ(host.status, "Fertig: 0 Einträge");
    }
}

TEST(ResultsPopulate, MarksFollowTheirResultsAcrossResorts) {
    test::RecordingHost host;
    // "7|/dup" twice: each copy keeps a mark of its own.
    TFoundFiles v{Make("7", "/dup", 3), Make("1", "/c", 1), Make("7", "/dup", 9), Make("2", "/b", 2)};
    TSortState s;
    ApplyColumnClick(s, rcSize);  // ascending by size
    // Marks on 7|/dup (size 3) and 2|/b; marks past the end are ignored.
    auto out = PopulateResultsModel(v, {true, false, false, true, true, true}, s, host);
    EXPECT_EQ(Inodes(v), (std::vector<std::string>{"1", "2", "7", "7"}));
    EXPECT_EQ(out.Checked, (std::vector<bool>{false, true, true, false}));

    ApplyColumnClick(s, rcSize);  // descending
    out = PopulateResultsModel(v, out.Checked, s, host);
    EXPECT_EQ(Inodes(v), (std::vector<std::string>{"7", "7", "2", "1"}));
    EXPECT_EQ(v[1].SizeBytes, 3);
    EXPECT_EQ(out.Checked, (std::vector<bool>{false, true, true, false}));
    EXPECT_EQ(CountChecked(out.Checked), 2);
    EXPECT_EQ(CheckedStatusText(host, CountChecked(out.Checked)), "Checked: 2");
    // Without a sort nothing moves.
    out = PopulateResultsModel(v, out.Checked, TSortState{}, host);
    EXPECT_EQ(out.Checked, (std::vector<bool>{false, true, true, false}));
}

TEST(ResultsPopulate, MarksOfTheWholeListSurviveAResort) {
    test::RecordingHost host;
    TFoundFiles v = Numbered(10001);
    TSortState s{rcSize, true};
    auto out = PopulateResultsModel(v, {}, s, host);
    out.Checked[0] = true;      // the smallest file
    out.Checked[10000] = true;  // the largest, far past any screenful
    ApplyColumnClick(s, rcSize);
    out = PopulateResultsModel(v, out.Checked, s, host);
    EXPECT_EQ(CountChecked(out.Checked), 2);
    EXPECT_TRUE(out.Checked[0] && out.Checked[10000]);
    EXPECT_EQ(v[10000].Inode, "0");
}

TEST(ResultsFilter, MatchesFolderAndNameIgnoringAsciiCaseAndSeparator) {
    const TFoundFiles v{Make("1", "/Users/Bob/Report.DOCX", 1), Make("2", "\\Users\\alice\\notes.txt", 1),
                        Make("3", "Photos/Straße.jpg", 1), Make("4", "/x", 1)};
    const struct {
        const char* text;
        std::vector<size_t> kept;
    } cases[] = {
        {"", {0, 1, 2, 3}},
        {"   ", {0, 1, 2, 3}},
        {"report", {0}},
        {"users/", {0, 1}},
        {"USERS\\ALICE", {1}},
        {".docx", {0}},
        {"straße", {2}},
        {"STRASSE", {}},  // only ASCII letters fold
        {"/x/", {}},
        {"a very long text that is longer than every path here", {}},
    };
    for (const auto& c : cases) EXPECT_EQ(FilterResults(v, PrepareResultFilter(c.text)), c.kept) << c.text;
}

} // namespace
} // namespace brivo
