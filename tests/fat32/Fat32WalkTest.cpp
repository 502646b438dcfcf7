#include <gtest/gtest.h>

#include <chrono>

#include "FatScanHelpers.h"
#include "fat32/Fat32Scan.h"

namespace brivo {
namespace {

using namespace brivo::test;
using Paths = std::vector<std::string>;

// "." and ".." of a directory at cluster c whose parent is at p.
std::vector<FatEntry> Dots(uint32_t c, uint32_t p) {
    return {DirEntry(".          ", c), DirEntry("..         ", p == 2 ? 0 : p)};
}

TEST(Fat32Walk, EmptyRootGivesNoResults) {
    FatImage img;
    FatScan scan;
    EXPECT_TRUE(scan.Run(img).empty());
    EXPECT_EQ(scan.host.MemoMessages(), (Paths{"Fast FAT32 geometry: bps=512 cluster=512 root_cluster=2 fat_sectors=4",
                                               "Fast FAT32 scan complete: found=0"}));
    EXPECT_EQ(scan.host.status, "Preparing FAT32 results... Found 0 files.");
    EXPECT_TRUE(scan.host.indeterminate);
}

TEST(Fat32Walk, RootEntriesBecomeResultsOnlyWhenDeletedWithData) {
    FatImage img;
    img.Put(2, 0, Cat({
        {ShortEntry("BRIVO      ", 0x08, 0, 0)},                           // 0 volume label
        {Deleted(FileEntry("README  TXT", 10, 1234))},                     // 1
        Deleted(Named(u"Holiday photo.jpg", FileEntry("HOLIDA~1JPG", 11, 40000))),  // 2..4
        {FileEntry("LIVE    TXT", 12, 10)},                                // 5 live: never a result
        {Deleted(FileEntry("EMPTY   TXT", 0, 0))},                         // 6 empty: cleanup hides it
        Named(u"Still here.txt", FileEntry("STILLH~1TXT", 13, 10)),        // 7..9
        {Deleted(ShortEntry("OLDLABEL   ", 0x08, 0, 0))},                  // 10 deleted label
    }));
    img.Put(2, 12, Deleted(FileEntry("AFTEREN TXT", 14, 5)));  // behind the end marker at 11
    FatScan scan;
    const auto& found = scan.Run(img);
    ASSERT_EQ(scan.Paths(), (Paths{"/_EADME.TXT", "/Holiday photo.jpg"}));
    EXPECT_EQ(found[0].Inode, img.Address(2, 1));
    EXPECT_EQ(found[1].Inode, img.Address(2, 4));
    EXPECT_EQ(found[0].Inode, "4");
    EXPECT_EQ(found[1].SizeBytes, 40000);
    EXPECT_EQ(found[1].FileType, "r/r");
    EXPECT_TRUE(found[1].IsDeleted);
    EXPECT_FALSE(found[1].IsDir);
    EXPECT_TRUE(found[1].HasModDate);
    // README's three clusters from 10 would run into this file, which starts at 11 and ends
    // like a last cluster: README reads around it.
    EXPECT_EQ(found[0].DamageText, "Excellent, in pieces");
    EXPECT_EQ(found[1].DamageText, "Excellent");
    EXPECT_EQ(found[1].DamageScore, 100);
}

// The clusters a deleted file would occupy, contiguous from its first one, against the FAT.
TEST(Fat32Walk, ConditionFromTheFat) {
    struct Case { const char* what; uint32_t first, size; std::vector<uint32_t> inUse; std::string text; int score; };
    const Case cases[] = {
        {"all free", 20, 3 * 512, {}, "Excellent", 100},
        // A live cluster inside the range: the content is read around it.
        {"one of three reused", 20, 3 * 512 - 100, {21}, "Damaged, 33% reused, in pieces", 45},
        {"one of 25 reused", 30, 25 * 512, {54}, "Good, 4% reused, in pieces", 80},
        {"two of three reused", 20, 3 * 512, {20, 22}, "Poor, 67% reused", 15},
        {"all reused", 20, 2 * 512, {20, 21}, "Overwritten", 0},
        {"runs off the end: only the clusters on the volume count", 96, 10 * 512, {}, "Excellent", 100},
    };
    for (const auto& c : cases) {
        FatImage img;
        img.Put(2, 0, Deleted(FileEntry("FILE    BIN", c.first, c.size)));
        for (uint32_t u : c.inUse) img.Chain({u});
        FatScan scan;
        const auto& found = scan.Run(img);
        ASSERT_EQ(found.size(), 1u) << c.what;
        EXPECT_EQ(found[0].DamageText, c.text) << c.what;
        EXPECT_EQ(found[0].DamageScore, c.score) << c.what;
    }
}

// Every deleted file entry is listed, empty ones too (the cleanup filter hides those), but
// not slots whose numbers describe no content this volume could hold.
TEST(Fat32Walk, EmptyFilesAreListedAndImpossibleEntriesAreNot) {
    FatImage img;
    img.Put(2, 0, Cat({
        {Deleted(FileEntry("EMPTY   TXT", 0, 0))},
        {Deleted(FileEntry("NOSTARTTTXT", 0, 100))},          // bytes but no first cluster
        {Deleted(FileEntry("FAR     TXT", 500, 512))},        // first cluster past the volume
        {Deleted(FileEntry("HUGE    TXT", 20, 0xFFFFFFFF))},  // larger than the whole volume
        {Deleted(FileEntry("REAL    TXT", 20, 100))},
    }));
    FatScan all;
    const auto& found = all.Run(img, {}, false);
    EXPECT_EQ(all.Paths(), (Paths{"/_MPTY.TXT", "/_EAL.TXT"}));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].SizeBytes, 0);
    EXPECT_EQ(found[0].DamageText, "Excellent");
    EXPECT_EQ(found[0].DamageScore, 100);
    FatScan cleaned;
    cleaned.Run(img);
    EXPECT_EQ(cleaned.Paths(), (Paths{"/_EAL.TXT"}));
    EXPECT_EQ(cleaned.result.HiddenByCleanup, 1u);
    // Masks the user typed ask for what they match, empty files too.
    FatScan typed;
    typed.Run(img, {"*.txt"});
    EXPECT_EQ(typed.Paths(), (Paths{"/_MPTY.TXT", "/_EAL.TXT"}));
    EXPECT_EQ(typed.result.HiddenByCleanup, 0u);
}

TEST(Fat32Walk, DeletedFolderListsItsFilesAndItsUnmarkedSubfoldersAsDeleted) {
    FatImage img;
    img.Put(2, 0, Deleted(Named(u"Old projects", DirEntry("OLDPRO~1   ", 10))));
    // Cluster 10 is free in the FAT (the folder was deleted): read by the fallback, one cluster.
    img.Put(10, 0, Cat({Dots(10, 2),
                        {FileEntry("KEEP    TXT", 20, 100)},                                  // live file: result
                        Deleted(Named(u"draft one.doc", FileEntry("DRAFTO~1DOC", 21, 200))),
                        {DirEntry("LIVESUB    ", 11)},                                       // no "." entry: not decoded
                        Deleted(Named(u"Gone sub", DirEntry("GONESUB    ", 12)))}));
    img.Put(11, 0, Deleted(FileEntry("INLIVE  TXT", 22, 1)));
    img.Put(12, 0, Cat({Dots(12, 10), {Deleted(FileEntry("DEEP    TXT", 23, 7))}}));
    img.Put(13, 0, Deleted(FileEntry("NEXTCL  TXT", 24, 7)));  // next cluster: not part of the folder
    img.Put(2, 2, DirEntry("LIVETOP    ", 14));                 // a live folder with an unmarked subfolder
    img.Chain({14});
    img.Put(14, 0, Cat({Dots(14, 2), {Deleted(DirEntry("GONE2      ", 15))}}));
    img.Put(15, 0, Cat({Dots(15, 14), {DirEntry("INNER      ", 16)}}));
    img.Put(16, 0, Cat({Dots(16, 15), {FileEntry("LOST    TXT", 25, 9)}}));
    FatScan scan;
    scan.Run(img);
    EXPECT_EQ(scan.Paths(), (Paths{"/Old projects/KEEP.TXT", "/Old projects/draft one.doc", "/Old projects/Gone sub/_EEP.TXT",
                                   "/LIVETOP/_ONE2/INNER/LOST.TXT"}));
    EXPECT_EQ(scan.InodeOf("/Old projects/KEEP.TXT"), img.Address(10, 2));
    EXPECT_TRUE(scan.HasLine("FAT32 DBG skip deleted dir: path=\"/Old projects/LIVESUB\" cluster=11 reason=not-a-directory"));
    EXPECT_TRUE(scan.HasLine("FAT32 DBG dir read chain failed: start=10 size=0 deleted=True allocated=False"));
    EXPECT_TRUE(scan.HasLine("FAT32 DBG deleted dir fallback: start=10 size=0 bytes_read=512"));
}

TEST(Fat32Walk, ReallocatedDeletedFolderIsNotRead) {
    FatImage img;
    img.Put(2, 0, Deleted(DirEntry("STALE      ", 10)));
    img.Chain({10});  // its first cluster now belongs to something else
    img.Put(10, 0, Deleted(FileEntry("NOTMINE TXT", 20, 10)));
    FatScan scan;
    EXPECT_TRUE(scan.Run(img).empty());
    EXPECT_TRUE(scan.HasLine("FAT32 DBG skip deleted dir: path=\"/_TALE\" cluster=10 reason=reallocated"));
}

// A free cluster that was reused by a file and freed again is no longer the folder.
TEST(Fat32Walk, DeletedFolderWhoseClusterHoldsOtherDataIsNotDecoded) {
    FatImage img;
    img.Put(2, 0, Deleted(DirEntry("OLDDIR     ", 10)));
    std::string text(512, 'A');  // attribute 0x41: plain files with a first cluster
    for (size_t i = 0; i < text.size(); i += 32) text[i] = char(0xE5);  // would read as deleted entries
    std::copy(text.begin(), text.end(), img.bytes.begin() + img.ClusterOffset(10));
    FatScan scan;
    EXPECT_TRUE(scan.Run(img).empty());
    EXPECT_TRUE(scan.HasLine("FAT32 DBG skip deleted dir: path=\"/_LDDIR\" cluster=10 reason=not-a-directory"));
}

// A folder renamed in place leaves a deleted entry and a live entry with the same first
// cluster. Whichever comes first, the live folder is the one read, once.
TEST(Fat32Walk, RenamedFolderIsReadThroughItsLiveEntry) {
    for (bool deletedFirst : {true, false}) {
        FatImage img;
        const auto oldEntry = Deleted(Named(u"Before", DirEntry("BEFORE     ", 10)));
        const auto newEntry = Named(u"After rename", DirEntry("AFTERR~1   ", 10));
        img.Put(2, 0, deletedFirst ? Cat({oldEntry, newEntry}) : Cat({newEntry, oldEntry}));
        img.Chain({10});
        img.Put(10, 0, Cat({Dots(10, 2), Deleted(Named(u"inside.txt", FileEntry("INSIDE  TXT", 20, 10)))}));
        FatScan scan;
        scan.Run(img);
        EXPECT_EQ(scan.Paths(), (Paths{"/After rename/inside.txt"})) << deletedFirst;
        EXPECT_TRUE(scan.HasLine("FAT32 DBG skip deleted dir: path=\"/Before\" cluster=10 reason=reallocated"));
    }
}

// Entries pointing back at an ancestor or at the same folder twice are damage: every folder
// is read once, so each file is listed once and the walk ends quickly even when the
// paths through the loops would multiply.
TEST(Fat32Walk, LoopsAndCrossLinksAreReadOnce) {
    FatImage img;
    img.Put(2, 0, Cat({{DirEntry("A          ", 10)}, {Deleted(FileEntry("ROOTF   TXT", 30, 1))}}));
    img.Chain({10});
    img.Chain({11});
    img.Put(10, 0, Cat({Dots(10, 2), {DirEntry("B          ", 11)}, {DirEntry("B2         ", 11)},
                        {Deleted(FileEntry("INA     TXT", 31, 1))}}));
    img.Put(11, 0, Cat({Dots(11, 10), {DirEntry("UP1        ", 10)}, {DirEntry("UP2        ", 10)},
                        {DirEntry("SELF       ", 11)}, {DirEntry("ROOT       ", 2)},
                        {Deleted(FileEntry("INB     TXT", 32, 1))}}));
    FatScan scan;
    const auto t0 = std::chrono::steady_clock::now();
    scan.Run(img);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(scan.Paths(), (Paths{"/_OOTF.TXT", "/A/_NA.TXT", "/A/B/_NB.TXT"}));
    EXPECT_TRUE(scan.HasLine("FAT32 DBG skip dir: path=\"/A/B/UP1\" cluster=10 reason=already-read"));
    EXPECT_TRUE(scan.HasLine("FAT32 DBG skip dir: path=\"/A/B2\" cluster=11 reason=already-read"));
}

TEST(Fat32Walk, LoopingDirectoryChainIsReadOnce) {
    FatImage img;
    img.Put(2, 0, DirEntry("LOOPED     ", 10));
    img.SetFat(10, 11);
    img.SetFat(11, 10);
    std::vector<FatEntry> first = Dots(10, 2);
    first.push_back(Deleted(FileEntry("FIRST   TXT", 20, 1)));
    while (first.size() < 16) first.push_back(FileEntry("FILLER  TXT", 30, 1));  // no end marker in 10
    img.Put(10, 0, first);
    img.Put(11, 0, Deleted(FileEntry("SECOND  TXT", 21, 1)));
    FatScan scan;
    scan.Run(img);
    EXPECT_EQ(scan.Paths(), (Paths{"/LOOPED/_IRST.TXT", "/LOOPED/_ECOND.TXT"}));
    EXPECT_TRUE(scan.HasLine("FAT32 DBG dir read chain: start=10 size=0 bytes_read=1024 deleted=False"));
}

// The directory's clusters are 10, 40, 25: an entry's address comes from the cluster it
// was read from, and a long name may straddle two of them.
TEST(Fat32Walk, FragmentedDirectoryGivesTrueAddresses) {
    FatImage img;
    img.Put(2, 0, Named(u"Fragmented", DirEntry("FRAGME~1   ", 10)));
    img.Chain({10, 40, 25});
    std::vector<FatEntry> full = Dots(10, 2);
    for (int i = 0; i < 14; ++i) full.push_back(FileEntry("LIVE" + std::to_string(10 + i) + "  TXT", uint32_t(50 + i), 1));
    img.Put(10, 0, full);
    std::vector<FatEntry> second;
    for (int i = 0; i < 14; ++i) second.push_back(FileEntry("MORE" + std::to_string(10 + i) + "  TXT", uint32_t(70 + i), 1));
    second[3] = Deleted(second[3]);
    img.Put(40, 0, second);
    const auto straddling = Deleted(Named(u"Straddling name.txt", FileEntry("STRADD~1TXT", 90, 5)));
    ASSERT_EQ(straddling.size(), 3u);
    img.Put(40, 14, {straddling[0], straddling[1]});
    img.Put(25, 0, Cat({{straddling[2]}, {Deleted(FileEntry("LAST    TXT", 91, 5))}}));
    FatScan scan;
    scan.Run(img);
    EXPECT_EQ(scan.Paths(), (Paths{"/Fragmented/_ORE13.TXT", "/Fragmented/Straddling name.txt", "/Fragmented/_AST.TXT"}));
    EXPECT_EQ(scan.InodeOf("/Fragmented/_ORE13.TXT"), img.Address(40, 3));
    EXPECT_EQ(scan.InodeOf("/Fragmented/Straddling name.txt"), img.Address(25, 0));
    EXPECT_EQ(scan.InodeOf("/Fragmented/_AST.TXT"), img.Address(25, 1));
}

TEST(Fat32Walk, ChainRunningPastTheVolumeKeepsWhatWasRead) {
    FatImage img;
    img.Put(2, 0, DirEntry("DAMAGED    ", 10));
    img.SetFat(10, 5000);  // beyond the FAT and the volume
    img.Put(10, 0, Cat({Dots(10, 2), {Deleted(FileEntry("SAVED   TXT", 20, 1))}}));
    FatScan scan;
    scan.Run(img);
    EXPECT_EQ(scan.Paths(), (Paths{"/DAMAGED/_AVED.TXT"}));
}

TEST(Fat32Walk, MasksAndSystemFoldersFilterResults) {
    FatImage img;
    img.Put(2, 0, Cat({Deleted(Named(u"photo.JPG", FileEntry("PHOTO   JPG", 20, 1))),
                       Deleted(Named(u"notes.txt", FileEntry("NOTES   TXT", 21, 1))),
                       Named(u"System Volume Information", DirEntry("SYSTEM~1   ", 10))}));
    img.Chain({10});
    img.Put(10, 0, Cat({Dots(10, 2), Deleted(Named(u"tracking.log", FileEntry("TRACKI~1LOG", 22, 1)))}));
    FatScan all;
    all.Run(img);
    EXPECT_EQ(all.Paths(), (Paths{"/photo.JPG", "/notes.txt"}));
    FatScan jpg;
    jpg.Run(img, {"*.jpg"});
    EXPECT_EQ(jpg.Paths(), (Paths{"/photo.JPG"}));
}

TEST(Fat32Walk, CountsWhatMasksAndCleanupLeaveOut) {
    FatImage img;
    img.Put(2, 0, Cat({{Deleted(FileEntry("README  TXT", 20, 1))}, {Deleted(FileEntry("PHOTO   JPG", 21, 1))},
                       {DirEntry("FOUND   000", 10)}}));
    img.Chain({10});
    img.Put(10, 0, Cat({Dots(10, 2), {Deleted(FileEntry("FILE0000CHK", 22, 1))}}));
    struct Case { bool cleanup; Paths found; uint64_t byMasks, byCleanup; };
    const Case cases[] = {
        {true, {"/_HOTO.JPG"}, 1, 1},
        {false, {"/_HOTO.JPG", "/FOUND.000/_ILE0000.CHK"}, 1, 0},
    };
    for (const auto& c : cases) {
        FatScan scan;
        scan.Run(img, {"*.jpg", "*.chk"}, c.cleanup);
        EXPECT_EQ(scan.Paths(), c.found) << c.cleanup;
        EXPECT_EQ(scan.result.HiddenByMasks, c.byMasks) << c.cleanup;
        EXPECT_EQ(scan.result.HiddenByCleanup, c.byCleanup) << c.cleanup;
    }
}

// Sets Stop when the scan reports its first progress after a folder.
class StoppingHost : public RecordingHost {
public:
    TScanState* st = nullptr;
    int queued = 0;
    void Queue(std::function<void()> step) override {
        if (++queued == 4 && st) st->FStopRequested = true;
        RecordingHost::Queue(std::move(step));
    }
};

TEST(Fat32Walk, StopKeepsWhatWasFound) {
    FatImage img;
    img.Put(2, 0, Cat({{Deleted(FileEntry("ROOT    TXT", 20, 1))}, {DirEntry("FIRST      ", 10)}, {DirEntry("SECOND     ", 11)}}));
    img.Chain({10});
    img.Chain({11});
    img.Put(10, 0, Cat({Dots(10, 2), {Deleted(FileEntry("ONE     TXT", 21, 1))}}));
    img.Put(11, 0, Cat({Dots(11, 2), {Deleted(FileEntry("TWO     TXT", 22, 1))}}));
    StoppingHost host;
    TScanState st;
    host.st = &st;
    THostReport report(host, st);
    const TByteSourcePtr src = MakeMemoryByteSource(img.bytes);
    const TReaderResult r = FastScanFat32Direct(*src, report, {});
    host.Drain();
    ASSERT_EQ(r.Found.size(), 2u);
    EXPECT_EQ(r.Found[1].FullPath, "/FIRST/_NE.TXT");
    EXPECT_EQ(host.MemoMessages().back(), "Fast FAT32 scan complete: found=2");
}

TEST(Fat32Walk, DebugLinesGoToTheFileOnly) {
    FatImage img;
    img.Put(2, 0, Deleted(Named(u"Documents and Settings", FileEntry("DOCUME~1   ", 20, 9))));
    FatScan scan;
    scan.Run(img);
    for (const auto& m : scan.host.MemoMessages()) EXPECT_EQ(m.rfind("FAT32 DBG ", 0), std::string::npos) << m;
    const auto lines = scan.FileLines();
    EXPECT_TRUE(scan.HasLine("FAT32 DBG walk dir: path=\"\" cluster=2 deleted=False depth=0 size_hint=0 allocated=True"));
    EXPECT_TRUE(scan.HasLine("FAT32 DBG lfn entry: parent=\"\" idx=0 off=" + std::to_string(img.ClusterOffset(2)) +
                             " seq=E5 seqnum=5 chk="));
    EXPECT_TRUE(scan.HasLine("FAT32 DBG file entry: parent=\"\" idx=2 off=" + std::to_string(img.ClusterOffset(2) + 64) +
                             " deleted=True short=\"_OCUME~1\" chosen=\"Documents and Settings\" valid_lfn=False wantseq=0"
                             " raw_parts=2 raw_lfn=\"Settings" "Documents and\" deleted_lfn=\"Documents and Settings\""
                             " deleted_marker=True chk="));
    EXPECT_TRUE(scan.HasLine("FAT32 DBG lfn raw part[0]: \" Settings\""));
    EXPECT_TRUE(scan.HasLine("FAT32 DBG lfn raw part[1]: \"Documents and\""));
    EXPECT_TRUE(scan.HasLine("Fast FAT32 scan complete: found=1"));
}

} // namespace
} // namespace brivo
