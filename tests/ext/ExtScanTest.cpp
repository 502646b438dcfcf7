// The ext scan and extractor on volumes made by mkfs.ext4, the kernel and debugfs.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <map>
#include <set>

#include "TestSupport.h"
#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "ext/ExtDir.h"
#include "ext/ExtExtractor.h"
#include "ext/ExtFreeSpace.h"
#include "ext/ExtScan.h"
#include "ext/ExtVolume.h"

namespace brivo {
namespace {

using namespace brivo::test;

std::string Extract(TExtractor& x, const TFoundFile& f) {
    StringSink sink;
    x.Extract(f, sink);
    return sink.bytes;
}

bool Inside(const std::vector<TByteExtent>& areas, uint64_t at, uint64_t len) {
    for (const TByteExtent& a : areas)
        if (at >= a.Offset && at + len <= a.Offset + a.Length) return true;
    return false;
}

TEST(ExtScan, DeletedEntryWithItsMapComesBackWhole) {
    // debugfs frees the photo's blocks but leaves its name and block map.
    TempDir dir;
    const std::string img = UnpackFixture("ext4-blockmap.img", dir);
    auto src = OpenRawByteSource(img);
    TNullReport report;
    TReaderOptions opts;
    opts.Deep = true;
    const TReaderResult r = FastScanExtDirect(*src, report, opts);
    const auto manifest = ReadManifest("ext4-blockmap");
    ASSERT_EQ(manifest.size(), 1u);
    ASSERT_EQ(r.Found.size(), 1u);
    const TFoundFile& f = r.Found[0];
    EXPECT_EQ(f.FullPath, "/photo.png");
    EXPECT_EQ(f.SizeBytes, manifest[0].size);
    EXPECT_EQ(f.DamageText, "Excellent");
    EXPECT_TRUE(f.HasModDate);
    auto x = MakeExtExtractor(src, nullptr);
    const std::string bytes = Extract(*x, f);
    const std::string path = dir.path() + "/out";
    WriteFileBytes(path, bytes);
    EXPECT_EQ(Md5OfFile(path), manifest[0].md5);
    // The engine gives the same bytes for the same address.
    const ProcessResult cat = RunProcess({"icat", img, f.Inode});
    if (cat.exitCode == 0) {
        EXPECT_EQ(cat.out, bytes);
    }
    ASSERT_TRUE(r.FreeAreasKnown);
    ASSERT_EQ(r.KnownStarts.size(), 1u);
    EXPECT_TRUE(Inside(r.FreeAreas, r.KnownStarts[0], 1024));
}

TEST(ExtScan, RemovedFolderContentIsInFreeSpace) {
    TempDir dir;
    const std::string img = UnpackFixture("ext4-deleted.img", dir);
    auto src = OpenRawByteSource(img);
    TNullReport report;
    TReaderOptions opts;
    opts.Deep = true;
    const TReaderResult r = FastScanExtDirect(*src, report, opts);
    // The kernel cleared the files' maps and wiped the folder's entry: nothing to list from
    // the live tree, but every photo's bytes lie in what the content search reads.
    const std::string image = ReadFileBytes(img);
    for (const auto& m : ReadManifest("ext4-deleted")) {
        const std::string name = m.path.substr(m.path.rfind('/') + 1);
        const std::string content = ReadFileBytes(FixturePath("carve/" + name));
        const size_t at = image.find(content.substr(0, std::min<size_t>(content.size(), 1024)));
        ASSERT_NE(at, std::string::npos) << name;
        EXPECT_TRUE(Inside(r.FreeAreas, at, std::min<size_t>(content.size(), 1024))) << name;
    }
}

TEST(ExtScan, RemovedHashedFolderKeepsItsNamesFromLeafChecksums) {
    TempDir dir;
    const std::string img = UnpackFixture("ext4-hashed.img", dir);
    auto src = OpenRawByteSource(img);
    TNullReport report;
    TReaderOptions opts;
    opts.Deep = true;
    opts.Cleanup = false;  // names without bytes: the kernel emptied their maps
    const TReaderResult r = FastScanExtDirect(*src, report, opts);
    // The folder's leaf blocks hold every name but no "." of their own: their checksums
    // prove whose they were, so all land in one folder, each once.
    std::map<std::string, std::string> folderOf;
    for (const TFoundFile& f : r.Found) {
        const size_t slash = f.FullPath.rfind('/');
        EXPECT_TRUE(folderOf.emplace(f.FullPath.substr(slash + 1), f.FullPath.substr(0, slash)).second) << f.FullPath;
    }
    const auto manifest = ReadManifest("ext4-hashed");
    ASSERT_EQ(manifest.size(), 240u);
    std::set<std::string> folders;
    for (const auto& m : manifest) {
        const auto it = folderOf.find(m.path.substr(m.path.rfind('/') + 1));
        ASSERT_NE(it, folderOf.end()) << m.path;
        folders.insert(it->second);
    }
    EXPECT_EQ(folders.size(), 1u);
    EXPECT_EQ(r.Found.size(), manifest.size());  // nothing of the live folder beside them
}

TEST(ExtScan, AGapEntryInTheRootNamesTheRemovedFolder) {
    // Kernels before 5.x left a removed entry's name in the gap the entry before it covers
    // (later ones wipe it). Put the folder's entry back that way: it gets its own name.
    TempDir dir;
    const std::string img = UnpackFixture("ext4-hashed.img", dir);
    TReaderOptions opts;
    opts.Deep = true;
    opts.Cleanup = false;
    uint64_t gapAt = 0, gapLen = 0;
    uint32_t folder = 0;
    {
        auto src = OpenRawByteSource(img);
        TExtVolume vol(*src);
        const auto root = vol.ReadInode(kExtRootInode);
        ASSERT_TRUE(root);
        const TExtFileMap map = vol.FileMap(*root);
        ASSERT_FALSE(map.Runs.empty());
        std::vector<uint8_t> block(vol.BlockSize());
        ASSERT_TRUE(vol.ReadBlock(map.Runs[0].Physical, block));
        TExtDirOptions o;
        o.FileType = true;
        o.InodesCount = vol.Super().InodesCount;
        const TExtDirBlock d = DecodeExtDirBlock(block, o);
        for (size_t i = 0; i + 1 < d.Entries.size(); ++i)
            if (d.Entries[i].Name == "lost+found") {
                gapAt = map.Runs[0].Physical * vol.BlockSize() + d.Entries[i].Offset + 20;
                gapLen = d.Entries[i + 1].Offset - d.Entries[i].Offset - 20;
            }
        ASSERT_GE(gapLen, 12u);
        TNullReport report;
        const TReaderResult r = FastScanExtDirect(*src, report, opts);
        ASSERT_FALSE(r.Found.empty());
        const std::string& p = r.Found[0].FullPath;  // "/Folder N/message-..."
        ASSERT_EQ(p.rfind("/Folder ", 0), 0u) << p;
        folder = static_cast<uint32_t>(std::stoul(p.substr(8, p.find('/', 1) - 8)));
    }
    std::string bytes = ReadFileBytes(img);
    const uint8_t entry[12] = {static_cast<uint8_t>(folder), static_cast<uint8_t>(folder >> 8), 0, 0,
                               static_cast<uint8_t>(gapLen), static_cast<uint8_t>(gapLen >> 8), 4, 2, 'M', 'a', 'i', 'l'};
    bytes.replace(gapAt, sizeof entry, reinterpret_cast<const char*>(entry), sizeof entry);
    WriteFileBytes(img, bytes);
    auto src = OpenRawByteSource(img);
    TNullReport report;
    const TReaderResult r = FastScanExtDirect(*src, report, opts);
    ASSERT_EQ(r.Found.size(), 240u);
    for (const TFoundFile& f : r.Found) EXPECT_EQ(f.FullPath.rfind("/Mail/message-", 0), 0u) << f.FullPath;
}

TEST(ExtScan, FormattedVolumeSearchesWhatTheNewFileSystemNeverWrote) {
    TempDir dir;
    const std::string img = UnpackFixture("ext4-formatted.img", dir);
    auto src = OpenRawByteSource(img);
    TNullReport report;
    TReaderOptions opts;
    opts.Deep = true;
    const TReaderResult r = FastScanExtDirect(*src, report, opts);
    // The old inodes left in the new tables are not the new volume's: no orphans from them.
    EXPECT_TRUE(r.Found.empty());
    const std::string image = ReadFileBytes(img);
    int checked = 0;
    for (const auto& m : ReadManifest("ext4-formatted")) {
        const std::string name = m.path.substr(m.path.rfind('/') + 1);
        const std::string content = ReadFileBytes(FixturePath("carve/" + name));
        const size_t at = image.find(content.substr(0, std::min<size_t>(content.size(), 1024)));
        if (at == std::string::npos) continue;   // an old photo a later write covered
        EXPECT_TRUE(Inside(r.FreeAreas, at, std::min<size_t>(content.size(), 1024))) << m.path;
        ++checked;
    }
    EXPECT_GE(checked, 3);
}

TEST(ExtScan, NoExtIsRefused) {
    std::vector<uint8_t> zeros(1 << 16, 0);
    auto src = MakeMemoryByteSource(zeros);
    TNullReport report;
    EXPECT_THROW(FastScanExtDirect(*src, report, {}), std::runtime_error);
}

} // namespace
} // namespace brivo

namespace brivo {
namespace {

// An inline-data inode whose size reaches past what its i_block and attribute hold is
// refused, not copied short as if whole.
TEST(ExtExtractor, InlineDataShorterThanItsSizeIsRefused) {
    TempDir dir;
    std::string bytes = ReadFileBytes(UnpackFixture("ext4-blockmap.img", dir));
    auto src = MakeMemoryByteSource(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    TNullReport report;
    const TReaderResult r = FastScanExtDirect(*src, report, {});
    ASSERT_EQ(r.Found.size(), 1u);
    uint64_t block = 0;
    uint32_t off = 0;
    {
        TExtVolume vol(*src);
        ASSERT_TRUE(vol.InodeLocation(static_cast<uint32_t>(std::stoul(r.Found[0].Inode)), block, off));
        const uint64_t at = block * vol.BlockSize() + off;
        const uint32_t flags = kExtInlineDataFl;
        std::memcpy(bytes.data() + at + 0x20, &flags, 4);
    }
    auto patched = MakeMemoryByteSource(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size()));
    auto x = MakeExtExtractor(patched, nullptr);
    StringSink sink;
    EXPECT_THROW(x->Extract(r.Found[0], sink), std::runtime_error);
}

} // namespace
} // namespace brivo
