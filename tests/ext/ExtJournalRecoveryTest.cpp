// Deleted files brought back from the journal's copies of their inodes, named from the
// removed folders' blocks, on volumes made by mkfs and the kernel: a project folder removed
// with rm -rf after the journal committed, single files removed with rm, new files written
// after (some taking the freed inode numbers and blocks).
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>
#include <openssl/evp.h>

#include "TestSupport.h"
#include "core/ByteSource.h"
#include "core/Extractor.h"
#include "core/ReaderReport.h"
#include "ext/ExtDir.h"
#include "ext/ExtExtractor.h"
#include "ext/ExtJournalFiles.h"
#include "ext/ExtJournalScan.h"
#include "ext/ExtScan.h"
#include "ext/ExtVolume.h"

namespace brivo {
namespace {

using namespace brivo::test;

std::string Md5(const std::vector<uint8_t>& b) {
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int n = 0;
    EVP_Digest(b.data(), b.size(), md, &n, EVP_md5(), nullptr);
    static const char* hex = "0123456789abcdef";
    std::string s;
    for (unsigned i = 0; i < n; ++i) {
        s += hex[md[i] >> 4];
        s += hex[md[i] & 15];
    }
    return s;
}

std::vector<uint8_t> ReadExtents(TByteSource& src, const TFoundFile& f) {
    std::vector<uint8_t> all;
    for (const TByteExtent& e : f.Extents) {
        std::vector<uint8_t> b(e.Length);
        EXPECT_EQ(src.ReadAt(e.Offset, b.data(), b.size()), static_cast<int64_t>(b.size())) << f.FullPath;
        all.insert(all.end(), b.begin(), b.end());
    }
    return all;
}

TEST(ExtJournalRecovery, DeletedFilesComeBackByteExactAtTheirOwnPath) {
    struct Case {
        const char* image;
        size_t atOwnPath;  // of the manifest's deleted files, at least
    };
    // Single files removed with rm whose inode numbers files written after took come back
    // too; on ext3 one file lost some blocks to those files.
    for (const Case c : {Case{"ext3-home", 77}, Case{"ext4-home", 78}}) {
        SCOPED_TRACE(c.image);
        TempDir dir;
        const std::string img = UnpackFixture(std::string(c.image) + ".img", dir);
        auto src = OpenRawByteSource(img);
        TExtVolume vol(*src);
        const TExtRecovered r = ExtRecoverFromJournal(vol, false);
        EXPECT_TRUE(r.JournalPresent);

        std::map<std::string, std::string> key;
        for (const auto& e : ReadManifest(c.image)) key[e.path] = e.md5;
        size_t exact = 0;
        for (const TFoundFile& f : r.Found) {
            EXPECT_EQ(f.SizeBytes, static_cast<int64_t>(ReadExtents(*src, f).size())) << f.FullPath;
            const auto it = key.find(f.FullPath);
            const bool same = it != key.end() && it->second == Md5(ReadExtents(*src, f));
            if (same) ++exact;
            // Whatever the journal gives back whole and untouched is the original, under
            // its own name.
            if (f.DamageText == "Excellent") {
                EXPECT_TRUE(same) << f.FullPath;
            }
        }
        EXPECT_GE(exact, c.atOwnPath);
        // The removed folders in their place (never under a live folder that only took
        // over one of their blocks or numbers).
        for (const char* folder : {"/Projects/website", "/Projects/website/src/lib", "/Projects/website/assets/thumbs"})
            EXPECT_NE(std::find(r.DeletedFolders.begin(), r.DeletedFolders.end(), folder), r.DeletedFolders.end()) << folder;
        for (const std::string& d : r.DeletedFolders) EXPECT_EQ(d.rfind("/Projects/website", 0), 0u) << d;
    }
}

TEST(ExtJournalRecovery, TheScanListsEachOnceAndRecoveryCopiesThemWhole) {
    for (const char* image : {"ext3-home", "ext4-home"}) {
        SCOPED_TRACE(image);
        TempDir dir;
        const std::string img = UnpackFixture(std::string(image) + ".img", dir);
        auto src = OpenRawByteSource(img);
        TNullReport report;
        TReaderOptions opts;
        const TReaderResult r = FastScanExtDirect(*src, report, opts);
        std::map<std::string, std::string> key;
        for (const auto& e : ReadManifest(image)) key[e.path] = e.md5;
        // The same chain the driver builds: byte extents first, then the inode.
        auto x = MakeExtentExtractor(src, MakeExtExtractor(src, nullptr));
        std::map<std::string, int> addresses;
        size_t exact = 0;
        for (const TFoundFile& f : r.Found) {
            EXPECT_EQ(++addresses[f.Inode], 1) << f.Inode << " " << f.FullPath;
            const auto it = key.find(f.FullPath);
            if (it == key.end()) continue;
            StringSink sink;
            x->Extract(f, sink);
            const std::vector<uint8_t> bytes(sink.bytes.begin(), sink.bytes.end());
            if (Md5(bytes) == it->second) ++exact;
        }
        EXPECT_GE(exact, 77u);
        EXPECT_NE(std::find(r.DeletedFolders.begin(), r.DeletedFolders.end(), "/Projects/website/src/lib"), r.DeletedFolders.end());
    }
}

TEST(ExtJournalRecovery, AFolderIsNeverPlacedUnderALiveFolderMadeAfterIt) {
    // The project folder's ".." names /Projects. Made younger than the folder it held
    // (as a folder that took over the number would be), /Projects is another folder: the
    // project tree keeps its names but goes under /$OrphanFiles.
    TempDir dir;
    const std::string img = UnpackFixture("ext4-home.img", dir);
    uint64_t block = 0;
    uint32_t offset = 0, projects = 0;
    {
        auto src = OpenRawByteSource(img);
        TExtVolume vol(*src);
        const TExtRecovered before = ExtRecoverFromJournal(vol, false);
        ASSERT_NE(std::find(before.DeletedFolders.begin(), before.DeletedFolders.end(), "/Projects/website"), before.DeletedFolders.end());
        // /Projects: the live folder at the root named so.
        std::vector<uint8_t> root(vol.BlockSize());
        const auto rootInode = vol.ReadInode(kExtRootInode);
        ASSERT_TRUE(rootInode);
        const TExtFileMap map = vol.FileMap(*rootInode);
        ASSERT_FALSE(map.Runs.empty());
        ASSERT_TRUE(vol.ReadBlock(map.Runs[0].Physical, root));
        TExtDirOptions opts;
        opts.InodesCount = vol.Super().InodesCount;
        for (const TExtDirEntry& e : DecodeExtDirBlock(root, opts).Entries)
            if (e.Name == "Projects" && !e.Deleted) projects = e.Inode;
        ASSERT_NE(projects, 0u);
        ASSERT_TRUE(vol.InodeLocation(projects, block, offset));
    }
    {
        // i_crtime (and its extra bits) far in the future; the inode's checksum no longer
        // matches, which the reader counts and reads past.
        std::fstream f(img, std::ios::in | std::ios::out | std::ios::binary);
        auto src = OpenRawByteSource(img);
        const uint64_t at = block * TExtVolume(*src).BlockSize() + offset + 0x90;
        const uint8_t future[4] = {0xFF, 0xFF, 0xFF, 0x7F};
        f.seekp(static_cast<std::streamoff>(at));
        f.write(reinterpret_cast<const char*>(future), 4);
    }
    auto src = OpenRawByteSource(img);
    TExtVolume vol(*src);
    const TExtRecovered after = ExtRecoverFromJournal(vol, false);
    ASSERT_FALSE(after.DeletedFolders.empty());
    for (const std::string& d : after.DeletedFolders) EXPECT_EQ(d.rfind("/$OrphanFiles/website", 0), 0u) << d;
    bool util = false;
    for (const TFoundFile& f : after.Found) util = util || f.FullPath == "/$OrphanFiles/website/src/lib/util.js";
    EXPECT_TRUE(util);
}

TEST(ExtJournalRecovery, WithoutAJournalNothingIsInvented) {
    // ext2: no journal; the free-block sweep finds the removed folders' blocks and names
    // the files in them, without bytes.
    TempDir dir;
    const std::string img = UnpackFixture("ext2-home.img", dir);
    auto src = OpenRawByteSource(img);
    TExtVolume vol(*src);
    const TExtRecovered plain = ExtRecoverFromJournal(vol, false);
    EXPECT_FALSE(plain.JournalPresent);
    EXPECT_TRUE(plain.Found.empty());
    const TExtRecovered deep = ExtRecoverFromJournal(vol, true);
    EXPECT_TRUE(deep.Found.empty());
    EXPECT_FALSE(deep.DeletedFolders.empty());
    // The live parent keeps no entry for the project folder, so its name is lost; its
    // ".." and the creation times (the parent is older) still put it in its place, with
    // its subfolders and their files under their names.
    bool util = false;
    for (const TExtNameOnly& n : deep.NamesOnly) {
        EXPECT_EQ(n.Path.rfind("/Projects/Folder ", 0), 0u) << n.Path;
        if (n.Path.ends_with("/src/lib/util.js")) util = true;
    }
    EXPECT_TRUE(util);
}

// Creation times are the ones debugfs prints as crtime for the file's inode ("stat <N>"
// on the unpacked image: a deleted inode keeps its crtime until the number is taken again):
// from the journal's copy of a deleted ext4 inode, and from a deleted entry whose inode
// still holds its map.
TEST(ExtJournalRecovery, CreationTimesAreTheInodesOwn) {
    struct Case {
        const char* image;
        const char* path;
        int64_t seconds;
        int64_t nanos;
    };
    const Case cases[] = {
        {"ext4-home", "/Projects/website/index.html", 1796982462, 184984041},
        {"ext4-home", "/Projects/website/docs/archive.zip", 1796982465, 64984041},
        {"ext4-blockmap", "/photo.png", 1796975366, 0},
    };
    std::map<std::string, TReaderResult> scans;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        TempDir dir;
        if (!scans.count(c.image)) {
            const std::string img = UnpackFixture(std::string(c.image) + ".img", dir);
            auto src = OpenRawByteSource(img);
            TNullReport report;
            scans[c.image] = FastScanExtDirect(*src, report, TReaderOptions{});
        }
        const TFoundFiles& found = scans[c.image].Found;
        const auto f = std::find_if(found.begin(), found.end(), [&](const TFoundFile& x) { return x.FullPath == c.path; });
        ASSERT_NE(f, found.end());
        ASSERT_TRUE(f->HasCreateDate);
        const double seconds = (f->CreateDateUtc - 25569.0) * 86400.0;
        EXPECT_NEAR(seconds - static_cast<double>(c.seconds), static_cast<double>(c.nanos) / 1e9, 2e-6);
    }
    // Inode 21 was taken by a photo written after the deletions (crtime 1796982496): the
    // deleted photo's creation time is its own copy's in the journal, from before then.
    const TFoundFiles& home = scans["ext4-home"].Found;
    const auto old = std::find_if(home.begin(), home.end(), [](const TFoundFile& x) { return x.FullPath == "/Pictures/2023/IMG_0003.jpg"; });
    ASSERT_NE(old, home.end());
    ASSERT_TRUE(old->HasCreateDate);
    EXPECT_LT((old->CreateDateUtc - 25569.0) * 86400.0, 1796982496.0 - 1.0);
}

// The kernel's journal with checksum v3 (metadata_csum): every sum it wrote matches ours,
// and a logged inode-table block damaged by one byte outside the deleted inode's own slot
// (whose inode checksum still holds) no longer gives that inode back.
TEST(ExtJournalRecovery, JournalChecksumsAreCheckedAndADamagedCopyIsNotTrusted) {
    TempDir dir;
    const std::string img = UnpackFixture("ext4-home.img", dir);
    uint64_t damageAt = 0;
    uint32_t number = 0, sequence = 0;
    {
        auto src = OpenRawByteSource(img);
        TExtVolume vol(*src);
        const auto journal = OpenExtJournal(vol);
        ASSERT_TRUE(journal->Present);
        EXPECT_TRUE(journal->Log.Super.ChecksumOk);
        EXPECT_GT(journal->Log.ChecksumsChecked, 100u);
        EXPECT_EQ(journal->Log.ChecksumFailures(), 0u);
        const auto inodes = ExtDeletedInodesFromJournal(vol, journal);
        const auto regular = std::find_if(inodes.begin(), inodes.end(), [](const TExtJournalInode& r) { return r.Inode.IsRegular(); });
        ASSERT_NE(regular, inodes.end());
        number = regular->Number;
        sequence = regular->Sequence;
        uint64_t tableBlock = 0;
        uint32_t offset = 0;
        ASSERT_TRUE(vol.InodeLocation(number, tableBlock, offset));
        const auto copies = journal->Log.CopiesOf(tableBlock);
        const auto copy = std::find_if(copies.begin(), copies.end(), [&](const TJournalCopy& c) { return c.Sequence == sequence; });
        ASSERT_NE(copy, copies.end());
        // Where that journal block lies in the volume.
        const TExtFileMap map = vol.FileMap(*vol.ReadInode(vol.Super().JournalInode));
        for (const TExtRun& run : map.Runs)
            if (copy->JournalBlock >= run.Logical && copy->JournalBlock - run.Logical < run.Count)
                damageAt = (run.Physical + copy->JournalBlock - run.Logical) * vol.BlockSize();
        ASSERT_NE(damageAt, 0u);
        damageAt += offset == 0 ? vol.Super().InodeSize * 2 - 1 : offset - 1;
    }
    std::string bytes = ReadFileBytes(img);
    bytes[damageAt] = static_cast<char>(bytes[damageAt] ^ 0x01);
    WriteFileBytes(img, bytes);

    auto src = OpenRawByteSource(img);
    TExtVolume vol(*src);
    const auto journal = OpenExtJournal(vol);
    EXPECT_EQ(journal->Log.BadCopySums, 1u);
    EXPECT_EQ(journal->Log.ChecksumFailures(), 1u);
    for (const TExtJournalInode& r : ExtDeletedInodesFromJournal(vol, journal))
        EXPECT_FALSE(r.Number == number && r.Sequence == sequence);
    TExtRecovered rec = ExtRecoverFromJournal(vol, false);
    EXPECT_EQ(rec.JournalBadCopySums, 1u);
    struct : TNullReport {
        std::vector<std::string> Lines;
        void Log(const std::string& msg) override { Lines.push_back(msg); }
    } report;
    TReaderResult r;
    AddExtJournalResults(std::move(rec), TReaderOptions{}, report, r);
    EXPECT_EQ(std::count_if(report.Lines.begin(), report.Lines.end(),
                            [](const std::string& l) { return l.starts_with("ext journal checksums that did not match: 1 of "); }),
              1);
}

} // namespace
} // namespace brivo
