#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <map>
#include <thread>

#include "DriverTest.h"
#include "RecordingHost.h"
#include "TestSupport.h"
#include "core/Extractor.h"
#include "driver/DeepContent.h"
#include "driver/ScanDriver.h"
#include "engine/EngineFolder.h"
#include "ext/ExtVolume.h"

namespace brivo {
namespace {

struct DeepScan : test::DriverTest {

    void Scan(TScanDriver& d, const std::string& img, bool deep) {
        TScanChoice c;
        c.Where = TScanWhere::swDiskImage;
        c.ImagePath = img;
        c.Deep = deep;
        d.tbFastScanClick(c);
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(120);
        while (d.Busy() && std::chrono::steady_clock::now() < deadline)
            if (host.Drain() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
        host.Drain();
        ASSERT_FALSE(d.Busy()) << "scan did not finish";
        ASSERT_TRUE(host.EventsOf("error").empty()) << host.EventsOf("error").front();
    }

    // md5 of every result's recovered content -> how many results gave it.
    std::map<std::string, int> RecoveredMd5s() {
        std::map<std::string, int> md5s;
        const auto ex = st.FMakeExtractor();
        for (const TFoundFile& f : st.FFound) {
            test::StringSink s;
            try {
                ex->Extract(f, s);
            } catch (const std::exception&) {
                continue;
            }
            const std::string tmp = dir / "content.bin";
            test::WriteFileBytes(tmp, s.bytes);
            ++md5s[test::Md5OfFile(tmp)];
        }
        return md5s;
    }

    size_t CountFoundBy(TFoundBy by) const {
        size_t n = 0;
        for (const TFoundFile& f : st.FFound) n += f.FoundBy == by;
        return n;
    }
};

// A quick-formatted card: the deep sweep finds the old folders and names their files; the
// content search adds what no folder names, and never a second copy of a named file.
TEST_F(DeepScan, FormattedFatCardGivesEveryFileOnceByFolderOrByContent) {
    const std::string img = test::UnpackFixture("fat32-formatted.img", dir);
    TScanDriver d(st, engine, host);
    Scan(d, img, true);
    EXPECT_GT(CountFoundBy(TFoundBy::DeepSweep), 0u);
    EXPECT_GT(CountFoundBy(TFoundBy::Content), 0u);
    for (const TFoundFile& f : st.FFound) {
        if (f.FoundBy == TFoundBy::Content) {
            EXPECT_EQ(f.FullPath.rfind("/$Found by content/", 0), 0u) << f.FullPath;
        }
    }
    const auto md5s = RecoveredMd5s();
    for (const auto& e : test::ReadManifest("fat32-formatted")) {
        const auto it = md5s.find(e.md5);
        EXPECT_TRUE(it != md5s.end() && it->second == 1) << e.path << " found " << (it == md5s.end() ? 0 : it->second);
    }
    const auto memo = host.MemoMessages();
    EXPECT_NE(std::find_if(memo.begin(), memo.end(), [](const std::string& m) { return m.find("in free space") != m.npos; }),
              memo.end());
}

// A quick-formatted NTFS volume: the record sweep looks at the free clusters as the
// content search reads them, and every old file comes back once, at its path and byte-exact.
TEST_F(DeepScan, QuickFormattedNtfsSweepsInTheContentSearchsReading) {
    const std::string img = test::UnpackFixture("ntfs-qformat.img", dir);
    TScanDriver d(st, engine, host);
    Scan(d, img, true);
    std::map<std::string, const TFoundFile*> byPath;
    for (const TFoundFile& f : st.FFound) byPath[f.FullPath] = &f;
    const auto ex = st.FMakeExtractor();
    const auto manifest = test::ReadManifest("ntfs-qformat");
    ASSERT_FALSE(manifest.empty());
    for (const auto& e : manifest) {
        const auto it = byPath.find(e.path.substr(1));
        ASSERT_TRUE(it != byPath.end()) << e.path;
        EXPECT_EQ(it->second->FoundBy, TFoundBy::DeepSweep) << e.path;
        test::StringSink s;
        ex->Extract(*it->second, s);
        test::WriteFileBytes(dir / "content.bin", s.bytes);
        EXPECT_EQ(test::Md5OfFile(dir / "content.bin"), e.md5) << e.path;
    }
    const auto md5s = RecoveredMd5s();
    for (const auto& e : manifest) EXPECT_EQ(md5s.at(e.md5), 1) << e.path;
    const auto memo = host.MemoMessages();
    EXPECT_NE(std::find_if(memo.begin(), memo.end(),
                           [](const std::string& m) { return m.find("as the content search reads them") != m.npos; }),
              memo.end());
}

// ext4 after rm -rf: the listing has lost the photos, the free blocks the block bitmaps
// name still hold them all. A fast scan does not search by content.
TEST_F(DeepScan, Ext4AfterRmRfGivesThePhotosBackFromTheFreeBlocks) {
    const std::string img = test::UnpackFixture("ext4-deleted.img", dir);
    {
        TScanDriver d(st, engine, host);
        Scan(d, img, false);
        EXPECT_EQ(CountFoundBy(TFoundBy::Content), 0u);
        EXPECT_TRUE(st.FLastDeepSearchesFreeSpace);  // the front ends offer the deep scan
    }
    TScanDriver d(st, engine, host);
    Scan(d, img, true);
    EXPECT_EQ(d.LastRoute(), TScanRoute::Ext);
    EXPECT_FALSE(st.FLastDeepSearchesFreeSpace);
    const auto memo = host.MemoMessages();
    EXPECT_NE(std::find_if(memo.begin(), memo.end(), [](const std::string& m) { return m.rfind("Free space: ", 0) == 0; }),
              memo.end());
    const auto md5s = RecoveredMd5s();
    for (const auto& e : test::ReadManifest("ext4-deleted"))
        EXPECT_EQ(md5s.count(e.md5), 1u) << e.path;
}

// A card formatted again without clearing: the old inodes left in the new inode table's
// never-written slots are not the new file system's and are not listed; the content search
// finds the old photos, and what lies in blocks the new file system reserved but never
// wrote (an uninitialised group's inode table and inode bitmap, the journal's unused
// tail). Every file comes back once.
TEST_F(DeepScan, FormattedExt4GivesTheNeverWrittenBlocksAndEachFileOnce) {
    const std::string img = test::UnpackFixture("ext4-formatted.img", dir);
    TScanDriver d(st, engine, host);
    Scan(d, img, true);
    EXPECT_EQ(d.LastRoute(), TScanRoute::Ext);
    const auto md5s = RecoveredMd5s();
    const auto manifest = test::ReadManifest("ext4-formatted");
    ASSERT_EQ(manifest.size(), 7u);
    for (const auto& e : manifest) {
        const auto it = md5s.find(e.md5);
        EXPECT_TRUE(it != md5s.end() && it->second == 1) << e.path << " found " << (it == md5s.end() ? 0 : it->second);
    }
    const auto memo = host.MemoMessages();
    EXPECT_NE(std::find_if(memo.begin(), memo.end(),
                           [](const std::string& m) { return m.find("journal blocks never written") != m.npos; }),
              memo.end());
}

// A deleted file listed with its block map lies in the free space too: the content
// search's find of it is left out, and the photo comes back once, by its name.
TEST_F(DeepScan, Ext4FileListedByTheEngineIsNotFoundAgainByContent) {
    const std::string img = test::UnpackFixture("ext4-blockmap.img", dir);
    TScanDriver d(st, engine, host);
    Scan(d, img, true);
    ASSERT_EQ(st.FFound.size(), 1u);
    EXPECT_EQ(st.FFound[0].FullPath, "/photo.png");
    const auto md5s = RecoveredMd5s();
    EXPECT_EQ(md5s.at(test::ReadManifest("ext4-blockmap").at(0).md5), 1);
    const auto memo = host.MemoMessages();
    EXPECT_NE(std::find_if(memo.begin(), memo.end(),
                           [](const std::string& m) { return m.find("already listed by the file system") != m.npos; }),
              memo.end());
}

// An ext4 volume cut short after its superblock: its root folder cannot be read, and a
// deep scan says why and searches the whole volume by content instead of failing.
TEST_F(DeepScan, UnreadableExt4IsSearchedByContent) {
    std::string bytes = test::ReadFileBytes(test::UnpackFixture("ext4-deleted.img", dir)).substr(0, 8192);
    const std::string png = test::ReadFileBytes(test::FixturePath("carve/image.png"));
    bytes += png;
    bytes.resize(bytes.size() + 4096, '\0');
    const std::string img = dir / "cut.img";
    test::WriteFileBytes(img, bytes);
    TScanDriver d(st, engine, host);
    Scan(d, img, true);
    ASSERT_EQ(st.FFound.size(), 1u);
    EXPECT_EQ(st.FFound[0].FoundBy, TFoundBy::Content);
    EXPECT_NE(st.FLastFsUnreadable.find("ext4"), std::string::npos) << st.FLastFsUnreadable;
    const auto status = host.EventsOf("status");
    ASSERT_FALSE(status.empty());
    EXPECT_NE(status.back().find("searched for files by their content"), std::string::npos) << status.back();
    test::StringSink s;
    st.FMakeExtractor()->Extract(st.FFound[0], s);
    EXPECT_EQ(s.bytes, png);
}

// An exFAT volume whose boot region and its backup both fail their checksum: the deep
// scan says why and still finds the files by their content, byte-exact.
TEST_F(DeepScan, ExFatWithBothBootRegionsDamagedIsSearchedByContent) {
    std::string bytes = test::ReadFileBytes(test::UnpackFixture("exfat.img", dir));
    for (size_t checksumSector : {11u, 23u}) bytes.replace(checksumSector * 512, 4, "\x01\x02\x03\x04");
    const std::string png = test::ReadFileBytes(test::FixturePath("carve/image.png"));
    bytes.replace(bytes.size() - 64 * 1024, png.size(), png);  // a picture in the volume's last clusters
    const std::string img = dir / "damaged.img";
    test::WriteFileBytes(img, bytes);
    TScanDriver d(st, engine, host);
    Scan(d, img, true);
    EXPECT_NE(st.FLastFsUnreadable.find("boot checksum"), std::string::npos) << st.FLastFsUnreadable;
    ASSERT_EQ(st.FFound.size(), 1u);
    EXPECT_EQ(st.FFound[0].FoundBy, TFoundBy::Content);
    EXPECT_NE(host.EventsOf("status").back().find("searched for files by their content"), std::string::npos);
    test::StringSink sink;
    st.FMakeExtractor()->Extract(st.FFound[0], sink);
    EXPECT_EQ(sink.bytes, png);
}

// A volume found by search whose image ends long before it does: a deep scan reads what
// was copied of it (here only the superblock and a picture) instead of refusing it.
TEST_F(DeepScan, VolumeFoundBySearchThatEndsPastTheImageIsSearched) {
    std::string bytes(1 << 20, '\0');
    bytes += test::ReadFileBytes(test::UnpackFixture("ext4-deleted.img", dir)).substr(0, 8192);
    const std::string png = test::ReadFileBytes(test::FixturePath("carve/image.png"));
    bytes += png;
    bytes.resize(bytes.size() + 4096, '\0');
    const std::string img = dir / "lost.img";
    test::WriteFileBytes(img, bytes);
    TScanDriver d(st, engine, host);
    Scan(d, img, true);
    ASSERT_EQ(st.FFound.size(), 1u);
    test::StringSink sink;
    st.FMakeExtractor()->Extract(st.FFound[0], sink);
    EXPECT_EQ(sink.bytes, png);
    const auto memo = host.MemoMessages();
    EXPECT_NE(std::find_if(memo.begin(), memo.end(),
                           [](const std::string& m) { return m.find("ends past the end of the source") != m.npos; }),
              memo.end());
}

// Random bytes hold no file system: the fast scan says so in its own words, not with the
// engine's guess that they may be encrypted.
TEST_F(DeepScan, NoFileSystemIsSaidInOurWords) {
    std::string bytes(1 << 20, '\0');
    uint32_t x = 12345;
    for (char& c : bytes) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
    const std::string img = dir / "random.img";
    test::WriteFileBytes(img, bytes);
    TScanDriver d(st, engine, host);
    TScanChoice c;
    c.Where = TScanWhere::swDiskImage;
    c.ImagePath = img;
    d.tbFastScanClick(c);
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
    while (d.Busy() && std::chrono::steady_clock::now() < deadline)
        if (host.Drain() == 0) std::this_thread::sleep_for(std::chrono::milliseconds(5));
    host.Drain();
    const auto errors = host.EventsOf("error");
    ASSERT_EQ(errors.size(), 1u);
    EXPECT_NE(errors[0].find("No known file system was found"), std::string::npos) << errors[0];
    EXPECT_EQ(errors[0].find("encryption"), std::string::npos) << errors[0];
}

// A reader's free-space map and file starts steer the search: bytes outside the free
// space are not searched, a find where a listed file starts is dropped, and a Stop after
// the reader keeps its results and searches nothing.
TEST_F(DeepScan, OnlyTheFreeSpaceIsSearchedAndListedStartsAreDropped) {
    const std::string png = test::ReadFileBytes(test::FixturePath("carve/image.png"));
    std::string bytes(512 * 1024, '\0');
    bytes.replace(3, 8, "NTFS    ");
    for (size_t at : {64u * 1024, 128u * 1024, 192u * 1024, 320u * 1024}) bytes.replace(at, png.size(), png);
    const std::string img = dir / "vol.img";
    test::WriteFileBytes(img, bytes);

    bool stopAfterReader = false;
    TScanRoutes routes = TScanRoutes::Default();
    routes.Direct[TScanRoute::Ntfs] = [&](TByteSource&, TReaderReport&, const TReaderOptions& o) {
        TReaderResult r;
        TFoundFile f;
        f.Inode = "40";
        f.FullPath = "/listed.png";
        f.SizeBytes = static_cast<int64_t>(png.size());
        r.Found.push_back(f);
        if (o.Deep) {
            r.FreeAreas = {{60 * 1024, 200 * 1024}};
            r.FreeAreasKnown = true;
            r.KnownStarts = {128 * 1024};
        }
        if (stopAfterReader) st.FStopRequested = true;
        return r;
    };
    {
        TScanDriver d(st, engine, host, routes);
        Scan(d, img, true);
        std::vector<uint64_t> starts;
        for (const TFoundFile& f : st.FFound)
            if (f.FoundBy == TFoundBy::Content) starts.push_back(f.Extents.at(0).Offset);
        EXPECT_EQ(starts, (std::vector<uint64_t>{64 * 1024, 192 * 1024}));
        EXPECT_EQ(st.FFound.front().FullPath, "/listed.png");
    }
    stopAfterReader = true;
    TScanDriver d(st, engine, host, routes);
    Scan(d, img, true);
    ASSERT_EQ(st.FFound.size(), 1u);
    EXPECT_EQ(st.FFound[0].FullPath, "/listed.png");
}

// The grid a file's pieces are looked for on is the file system's own unit, read from its
// boot sector or superblock; a sector where nothing names one.
TEST(DeepContent, ClusterBytesFromTheVolumesOwnRecord) {
    const std::pair<const char*, uint32_t> cases[] = {
        {"fat32.img", 512},         {"ntfs-4k.img", 4096},   {"ntfs-2m.img", 2u << 20}, {"exfat.img", 4096},
        {"ext4-deleted.img", 1024}, {"mbr-fat32.img", 512},  {"pieces.img", 512},
    };
    for (const auto& [name, unit] : cases) {
        SCOPED_TRACE(name);
        test::TempDir dir;
        auto src = OpenRawByteSource(test::UnpackFixture(name, dir));
        EXPECT_EQ(VolumeClusterBytes(*src), unit);
    }
}

TEST(DeepContent, TypesFromMasksAndSpeedText) {
    EXPECT_EQ(ContentTypesFromMasks({"*.jpg", "*.PDF"}), (std::vector<std::string>{"jpg", "PDF"}));
    EXPECT_TRUE(ContentTypesFromMasks({"*.*"}).empty());
    EXPECT_TRUE(ContentTypesFromMasks({"*.jpg", "IMG_*.png"}).empty());
    EXPECT_TRUE(ContentTypesFromMasks({"*"}).empty());
    EXPECT_EQ(WithSpeed("x", 0, 100, 1000), "x");
    EXPECT_EQ(WithSpeed("x", 50, 100, 100), "x");  // too early to say
    EXPECT_EQ(WithSpeed("x", 10ull << 20, 70ull << 20, 1000), "x, 10 MiB/s, 0:06 left");
    EXPECT_EQ(WithSpeed("x", 10ull << 20, 10ull << 20, 1000), "x, 10 MiB/s");
}

// ext2 after rm -rf: the removed folder's blocks still name its files and their inodes,
// but the kernel zeroed each inode's size and block map, so nothing proves which content
// is whose. A name with finds of its kind in its inode's block group is listed with them
// (the true content among them), never joined; one with none stays hidden as before.
TEST_F(DeepScan, Ext2NamesWithoutContentAreListedBesideTheFindsOfTheirArea) {
    const std::string img = test::UnpackFixture("ext2-home.img", dir);
    TScanDriver d(st, engine, host);
    Scan(d, img, true);
    std::map<std::string, const TFoundFile*> byPath;
    for (const TFoundFile& f : st.FFound) byPath[f.FullPath] = &f;
    std::map<std::string, std::string> md5Of;
    for (const auto& e : test::ReadManifest("ext2-home")) md5Of[e.path] = e.md5;
    const auto ex = st.FMakeExtractor();
    const auto md5 = [&](const TFoundFile& f) {
        test::StringSink s;
        ex->Extract(f, s);
        test::WriteFileBytes(dir / "content.bin", s.bytes);
        return test::Md5OfFile(dir / "content.bin");
    };
    size_t named = 0;
    for (const TFoundFile& f : st.FFound) {
        if (f.Candidates.empty()) continue;
        ++named;
        SCOPED_TRACE(f.FullPath);
        EXPECT_EQ(f.FullPath.rfind("/Projects/Folder ", 0), 0u);
        EXPECT_EQ(f.SizeBytes, 0);
        EXPECT_NE(f.DamageText.find("of this kind found in the same area"), std::string::npos) << f.DamageText;
        for (const std::string& c : f.Candidates) {
            ASSERT_TRUE(byPath.count(c)) << c;
            EXPECT_EQ(byPath.at(c)->FoundBy, TFoundBy::Content);
            EXPECT_EQ(c.substr(c.rfind('.')), f.FullPath.substr(f.FullPath.rfind('.')));
        }
    }
    EXPECT_GE(named, 4u);
    // The archive is among its name's finds, byte-exact; the video among its own, of its size.
    for (const char* name : {"/assets/video/promo.mp4", "/docs/archive.zip"}) {
        SCOPED_TRACE(name);
        const auto it = std::find_if(st.FFound.begin(), st.FFound.end(),
                                     [&](const TFoundFile& f) { return f.FullPath.ends_with(name); });
        ASSERT_NE(it, st.FFound.end());
        const std::string original = "/Projects/website" + std::string(name);
        bool found = false;
        for (const std::string& c : it->Candidates) {
            const TFoundFile& find = *byPath.at(c);
            if (original.ends_with(".zip")) found = found || md5(find) == md5Of[original];
            else found = found || find.SizeBytes == 300152;
        }
        EXPECT_TRUE(found);
    }
    // No finds of its kind beside it: hidden as an empty file, as before.
    for (const TFoundFile& f : st.FFound) EXPECT_FALSE(f.FullPath.ends_with("/index.html")) << f.FullPath;
    EXPECT_EQ(st.FLastHiddenByCleanup + named, 12u);
}

// The same volume as an older kernel leaves it, with the deleted archive's inode still
// holding its size: that size and the kind prove which find is the archive, which then is
// listed once, at the name's path, byte-exact. The video's inode says nothing: beside only.
TEST_F(DeepScan, Ext2NameWhoseInodeKeptItsSizeTakesTheFindOfThatSize) {
    const std::string img = test::UnpackFixture("ext2-home.img", dir);
    constexpr uint32_t kArchiveInode = 42;  // /Projects/website/docs/archive.zip, 18116 bytes
    {
        auto src = OpenRawByteSource(img);
        TExtVolume vol(*src);
        uint64_t block = 0;
        uint32_t offset = 0;
        ASSERT_TRUE(vol.InodeLocation(kArchiveInode, block, offset));
        ASSERT_EQ(vol.ReadInode(kArchiveInode)->Size, 0u);
        std::string bytes = test::ReadFileBytes(img);
        const uint32_t size = 18116;
        std::memcpy(&bytes[block * vol.BlockSize() + offset + 4], &size, 4);  // i_size, little-endian
        test::WriteFileBytes(img, bytes);
    }
    TScanDriver d(st, engine, host);
    Scan(d, img, true);
    size_t listed = 0;
    const TFoundFile* archive = nullptr;
    for (const TFoundFile& f : st.FFound)
        if (f.FullPath.ends_with("/docs/archive.zip")) {
            ++listed;
            archive = &f;
        }
    ASSERT_EQ(listed, 1u);
    EXPECT_EQ(archive->FoundBy, TFoundBy::Content);
    EXPECT_EQ(archive->SizeBytes, 18116);
    EXPECT_TRUE(archive->Candidates.empty());
    test::StringSink s;
    st.FMakeExtractor()->Extract(*archive, s);
    test::WriteFileBytes(dir / "content.bin", s.bytes);
    EXPECT_EQ(test::Md5OfFile(dir / "content.bin"), "b79f8e6eef11fcd3720a1b97760c2af7");
    // No other name lists the find it took.
    for (const TFoundFile& f : st.FFound)
        for (const std::string& c : f.Candidates) EXPECT_NE(c, archive->FullPath);
    const auto video = std::find_if(st.FFound.begin(), st.FFound.end(),
                                    [](const TFoundFile& f) { return f.FullPath.ends_with("/video/promo.mp4"); });
    ASSERT_NE(video, st.FFound.end());
    EXPECT_EQ(video->FoundBy, TFoundBy::Metadata);
    EXPECT_FALSE(video->Candidates.empty());
}

} // namespace
} // namespace brivo
