// The ext scan and extractor on volumes made by mkfs.ext4, the kernel and debugfs.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "TestSupport.h"
#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "ext/ExtExtractor.h"
#include "ext/ExtFreeSpace.h"
#include "ext/ExtScan.h"

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
