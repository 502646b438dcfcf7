#include <gtest/gtest.h>

#include <ctime>

#include "RecordingHost.h"
#include "platform/DateTime.h"
#include "tskparse/FlsOutputParser.h"

using namespace brivo;

namespace {

std::vector<std::string> Paths(const TFoundFiles& f) {
    std::vector<std::string> out;
    for (const auto& r : f) out.push_back(r.FullPath);
    return out;
}

std::string Line(const std::string& name, const std::string& mode = "r/rrwxrwxrwx", const std::string& size = "10",
                 const std::string& mtime = "1600000000") {
    return "0|" + name + "|42-128-1|" + mode + "|0|0|" + size + "|1|" + mtime + "|1|1";
}

} // namespace

TEST(FlsOutputParser, ExampleLineBecomesOneResult) {
    TScanState st;
    st.FFound.push_back(TFoundFile{});  // replaced, not appended to
    test::RecordingHost host;
    ParseFlsOutput(st, host,
                   "0|/Docs/report.docx (deleted)|1234-128-3|r/rrwxrwxrwx|0|0|512|1600000000|1600000000|1600000000|"
                   "1600000000\n",
                   TScanWhere::swDiskImage, {"*.*"});
    ASSERT_EQ(st.FFound.size(), 1u);
    const TFoundFile& f = st.FFound[0];
    EXPECT_EQ(f.FullPath, "/Docs/report.docx");
    EXPECT_EQ(f.Inode, "1234-128-3");
    EXPECT_EQ(f.FileType, "r/rrwxrwxrwx");
    EXPECT_EQ(f.SizeBytes, 512);
    EXPECT_TRUE(f.IsDeleted);
    EXPECT_FALSE(f.IsDir);
    EXPECT_EQ(f.DamageText, "Unknown");
    EXPECT_EQ(f.DamageScore, -1);
    ASSERT_TRUE(f.HasModDate);
    // Stored in UTC like every other route's times, whatever the local zone.
    EXPECT_NEAR(f.ModDateUtc, EncodeDateTime(2020, 9, 13, 12, 26, 40), 1e-6);
}

TEST(FlsOutputParser, CountsWhatMasksAndCleanupLeaveOutAndShowsItOnRequest) {
    const std::string text = Line("/a/photo.jpg (deleted)") + "\n" + Line("/a/doc.txt (deleted)") + "\n" +
                             Line("/Users/Alice/README (deleted)") + "\n" +
                             Line("/Users/Alice/Old (deleted)", "d/drwxrwxrwx") + "\n" +  // a folder: never counted
                             Line("/Users/Alice/Gone (deleted)", "-/-") + "\n" +          // mode unknown: a folder
                             Line("/live.jpg") + "\n";
    TScanState st;
    test::RecordingHost host;
    ParseFlsOutput(st, host, text, TScanWhere::swDisk, {"*.jpg"});
    EXPECT_EQ(Paths(st.FFound), std::vector<std::string>{"/a/photo.jpg"});
    EXPECT_EQ(st.FLastHiddenByMasks, 1u);    // doc.txt
    EXPECT_EQ(st.FLastHiddenByCleanup, 1u);  // README
    // Shown again: mask "*", cleanup off.
    ParseFlsOutput(st, host, text, TScanWhere::swDisk, {"*"}, false);
    EXPECT_EQ(Paths(st.FFound), (std::vector<std::string>{"/a/photo.jpg", "/a/doc.txt", "/Users/Alice/README"}));
    EXPECT_EQ(st.FLastHiddenByMasks, 0u);
    EXPECT_EQ(st.FLastHiddenByCleanup, 0u);
}

TEST(FlsOutputParser, KeepsDeletedFilesOnlyAndDropsTheRest) {
    const std::string text =
        "fls: header without bars\r\n" +
        Line("/keep/a.txt (deleted)") + "\r\n" +
        Line("/live.txt") + "\n" +                                      // not deleted
        Line("/Docs/notes.txt:Zone.Identifier (deleted)") + "\n" +      // alternate data stream
        Line("/Docs/README (deleted)") + "\n" +                         // no dot: directory-like
        Line("/keep/.profile (deleted)") + "\n" +
        Line("/Docs/old (deleted)", "d/drwxrwxrwx") + "\n" +
        Line("/Docs/pkg.d (deleted)", "040755") + "\n" +                // numeric directory mode
        Line("/keep/re.txt (deleted-realloc)") + "\n" +                 // metadata reused
        Line("/keep/b.txt ($FILE_NAME) (deleted)") + "\n" +
        Line("/LABEL.X (Volume Label Entry) (deleted)") + "\n" +
        Line("/$OrphanFiles/OrphanFile-77.dat (deleted)") + "\n" +
        Line("/System Volume Information/x.dat (deleted)") + "\n" +
        Line("/$OrphanFiles/System Volume Information/y.dat (deleted)") + "\n" +
        "0|/gone/noinode.txt (deleted)|0|r/----------|0|0|0|0|0|0|0\n" +  // metadata address 0
        Line("/keep/pipe|in|name.txt (deleted)") + "\n" +
        Line("/keep/UPPER.TXT (DELETED)") + "\n" +
        Line("/keep/nosize.txt (deleted)", "r/r", "x", "0") + "\n" +
        "0|/short (deleted)|1|r/r|0|0|1|1|1|1\n" +                      // ten fields
        "\n   \n" +
        Line("/keep/last.txt (deleted)");                              // no final line end
    TFlsHidden hidden;
    const TFoundFiles got = ParseFlsListing(text, TScanWhere::swDiskImage, {}, true, &hidden);
    // Deleted folders are no results, but the folder tree learns of them.
    EXPECT_EQ(hidden.DeletedFolders, (std::vector<std::string>{"/Docs/old", "/Docs/pkg.d"}));
    EXPECT_EQ(Paths(got), (std::vector<std::string>{"/keep/a.txt", "/keep/.profile", "/$OrphanFiles/OrphanFile-77.dat",
                                                    "/keep/pipe|in|name.txt", "/keep/UPPER.TXT", "/keep/nosize.txt",
                                                    "/keep/last.txt"}));
    ASSERT_EQ(got.size(), 7u);
    EXPECT_EQ(got[5].SizeBytes, -1);
    EXPECT_FALSE(got[5].HasModDate);
    EXPECT_EQ(got[5].ModDateUtc, 0);

    // The same lines with LF only parse alike.
    std::string lf = text;
    std::erase(lf, '\r');
    EXPECT_EQ(Paths(ParseFlsListing(lf, TScanWhere::swDiskImage, {})), Paths(got));
}

TEST(FlsOutputParser, MasksAndScanKindDecideWhatStays) {
    const std::string text = Line("/a/photo.JPG (deleted)") + "\n" + Line("/a/doc.txt (deleted)") + "\n" +
                             Line("/$OrphanFiles/OrphanFile-9.jpg (deleted)") + "\n";
    // Files whose folder the engine lost are results like the others.
    EXPECT_EQ(Paths(ParseFlsListing(text, TScanWhere::swDisk, {"*.jpg"})),
              (std::vector<std::string>{"/a/photo.JPG", "/$OrphanFiles/OrphanFile-9.jpg"}));
    EXPECT_EQ(Paths(ParseFlsListing(text, TScanWhere::swDisk, {"*.png"})), std::vector<std::string>{});
    EXPECT_EQ(Paths(ParseFlsListing(text, TScanWhere::swRecycleBin, {"*.jpg"})),
              (std::vector<std::string>{"/a/photo.JPG", "/$OrphanFiles/OrphanFile-9.jpg"}));
}

TEST(FlsOutputParser, HostileBytesNeverCrash) {
    std::string junk;
    for (int i = 0; i < 4096; ++i) junk += static_cast<char>((i * 131 + 7) & 0xFF);
    junk += "\n|||||||||||||||||||||\n0|(deleted)|1|r/r|0|0|1|1|1|1|1\n0| (deleted) |1|r/r|0|0|1|1|1|1|1\n";
    EXPECT_NO_THROW(ParseFlsListing(junk, TScanWhere::swDisk, {"*.*"}));
    EXPECT_TRUE(ParseFlsListing("0|(deleted)|1|r/r|0|0|1|1|1|1|1", TScanWhere::swDisk, {}).empty());
}
