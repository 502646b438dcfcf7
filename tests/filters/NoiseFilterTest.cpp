#include "filters/NoiseFilter.h"
#include "filters/SyntheticPath.h"

#include <gtest/gtest.h>

namespace brivo {
namespace {

TEST(NormalizeFilterPath, LowersEveryLetterAndCollapsesSeparators) {
    EXPECT_EQ(NormalizeFilterPath("C:\\Users\\\\Bob//Docs\\"), "c:/users/bob/docs/");
    EXPECT_EQ(NormalizeFilterPath("////"), "/");
    EXPECT_EQ(NormalizeFilterPath(""), "");
    // not only ASCII: Ä -> ä, Ж -> ж; bytes that are not UTF-8 pass through
    EXPECT_EQ(NormalizeFilterPath("\xC3\x84/\xD0\x96\xFF"), "\xC3\xA4/\xD0\xB6\xFF");
}

TEST(IsNoiseFileName, FlagsSystemTempAndBuildFiles) {
    struct TCase {
        const char* Name;
        int64_t Size;
        bool Noise;
    };
    const TCase cases[] = {
        {"~$report.docx", 5000, true},
        {"report.docx", 0, true},
        {"report.docx", -1, true},
        {"report.docx", 5000, false},
        {"", 5, true},
        {"   ", 5, true},
        {"$I123.txt", 5, true},
        {" ~tmp.txt", 5, true},  // trimmed before the "~" test
        {"Setup.EXE", 5, true},
        {"app.deps.json", 5, true},
        {"app.runtimeconfig.json", 5, true},
        {"app.json", 5, false},
        {"x.resources.dll", 5, true},
        {"Thumbs.TMP", 5, true},
        {"boot.ETL", 5, true},
        {"a.pf", 5, true},
        {"a.pfx", 5, false},
        {"a.lastbuildstate", 5, true},
        {"dll", 5, false},  // no dot, no extension
        {"notes.txt.map", 5, true},
        {"photo.jpg", 5, false},
        {"archive.cab.jpg", 5, false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsNoiseFileName(c.Name, c.Size), c.Noise) << "\"" << c.Name << "\" " << c.Size;
}

TEST(IsNoisePath, FlagsSystemCacheAndBuildFolders) {
    struct TCase {
        const char* Path;
        bool Noise;
    };
    const TCase cases[] = {
        {"Windows/Temp/a.jpg", true},
        {"/Windows/a.jpg", true},
        {"Users/Bob/AppData/Local/Temp/a.jpg", true},
        {"src/app/bin/Debug/a.txt", true},
        {"C:\\Program Files (x86)\\App\\a.jpg", true},
        {"Program Files/App/a.jpg", true},
        {"ProgramData/a.jpg", true},
        {"Users/Bob/AppData/Local/Microsoft/Windows/INetCache/a.jpg", true},
        {"Users/Bob/AppData/Local/Microsoft/Windows/Temporary Internet Files/a.jpg", true},
        {"Users/Bob/AppData/Local/Packages/a.jpg", true},
        {"proj//node_modules/x/a.js", true},
        {"Users/Bob/.nuget/packages/a.txt", true},
        {"proj/packages/a.txt", true},
        {"proj/__pycache__/a.txt", true},
        {"proj\\.git\\a.txt", true},
        {"proj/bin/Release/a.txt", true},
        {"proj/obj/Debug/a.txt", true},
        {"proj/obj/release/a.txt", true},
        {"Users/Bob/Pictures/a.jpg", false},
        {"MyWindows/a.jpg", false},  // "windows/" only at the start or after "/"
        {"proj/bin/a.txt", false},
        {"Users/Bob/Desktop/setup.exe", true},  // the name test comes first
        {"Users/Bob/notes.txt:Zone.Identifier", false},
        {"Users/Bob/", true},  // no file name left
    };
    for (const auto& c : cases)
        EXPECT_EQ(IsNoisePath(c.Path, 5), c.Noise) << c.Path;
    EXPECT_TRUE(IsNoisePath("Users/Bob/Pictures/a.jpg", 0));
}

TEST(IsSyntheticPath, DropsEngineAreasAndSystemFoldersExceptInRecycleBinScans) {
    struct TCase {
        const char* Path;
        bool Synthetic;
    };
    const TCase cases[] = {
        {"$OrphanFiles/a.txt", true},  // no leading slash
        {"/$orphanfiles/a.txt", true},
        {"/$MBR", true},
        {"/$FAT1", true},
        {"/$FAT2", true},
        {"  \\$FAT1 ", true},
        {"/Docs/$MBR", false},  // engine areas only at the root
        {"/$Recycle.Bin/S-1-5-21-1/$RABC.txt", true},
        {"\\RECYCLER\\S-1\\Dc1.txt", true},
        {"/System Volume Information/tracking.log", true},
        {"/Documents/found.txt", true},  // a plain text test: "/FOUND." matches
        {"/FOUND.000/FILE0000.CHK", true},
        {"/Documents/foundation.txt", false},
        {"/Users/Bob/report.docx", false},
        {"Users/Bob/report.docx", false},
        {"", false},
        {"   ", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(IsSyntheticPath(c.Path, TScanWhere::swDisk), c.Synthetic) << c.Path;
        EXPECT_EQ(IsSyntheticPath(c.Path, TScanWhere::swDiskImage), c.Synthetic) << c.Path;
        EXPECT_EQ(IsSyntheticPath(c.Path, TScanWhere::swFolder), c.Synthetic) << c.Path;
        EXPECT_FALSE(IsSyntheticPath(c.Path, TScanWhere::swRecycleBin)) << c.Path;
    }
}

// Files whose folder is lost are shown; the engine's other areas and system folders are not,
// below the orphan folder either.
TEST(IsSystemAreaPath, LeavesTheOrphanFolderToTheUser) {
    const struct {
        const char* Path;
        bool System;
    } cases[] = {
        {"/$OrphanFiles/Folder at cluster 9/a.txt", false},
        {"$orphanfiles\\a.txt", false},
        {"/$OrphanFiles", false},
        {"/$OrphanFiles/System Volume Information/x.dat", true},
        {"/$OrphanFilesX/a.txt", true},  // not the orphan folder: an engine-made name all the same
        {"/$FAT1", true},
        {"/System Volume Information/x.dat", true},
        {"/Docs/a.txt", false},
    };
    for (const auto& c : cases) EXPECT_EQ(IsSystemAreaPath(c.Path, TScanWhere::swDisk), c.System) << c.Path;
    EXPECT_FALSE(IsSystemAreaPath("/$FAT1", TScanWhere::swRecycleBin));
}

} // namespace
} // namespace brivo
