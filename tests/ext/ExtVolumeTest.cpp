// TExtVolume on volumes made by mkfs.ext4 and the kernel: checksums agree, and every live
// file's map gives the bytes the engine's icat gives.
#include <gtest/gtest.h>

#include <sstream>

#include "TestSupport.h"
#include "core/ByteSource.h"
#include "ext/ExtVolume.h"

namespace brivo {
namespace {

using namespace brivo::test;

bool HaveEngine() { return RunProcess({"fls", "-V"}).exitCode == 0; }

// The bytes of an inode read through its map (holes and unwritten blocks as zeros).
std::string ReadByMap(TExtVolume& vol, const TExtInode& n, const std::vector<uint8_t>& raw) {
    if (n.HasInlineData()) {
        const auto b = ExtInlineData(raw, n);
        return std::string(b.begin(), b.end());
    }
    const TExtFileMap map = vol.FileMap(n);
    EXPECT_TRUE(map.Complete) << map.Problem;
    std::string out(static_cast<size_t>(n.Size), '\0');
    std::vector<uint8_t> block(vol.BlockSize());
    for (const TExtRun& r : map.Runs)
        for (uint64_t i = 0; i < r.Count; ++i) {
            const uint64_t at = (r.Logical + i) * vol.BlockSize();
            if (at >= out.size() || r.Unwritten) continue;
            EXPECT_TRUE(vol.ReadBlock(r.Physical + i, block));
            std::copy_n(block.begin(), std::min<uint64_t>(vol.BlockSize(), out.size() - at), out.begin() + static_cast<std::ptrdiff_t>(at));
        }
    return out;
}

TEST(ExtVolume, FixturesAgreeWithTheEngine) {
    if (!HaveEngine()) GTEST_SKIP() << "fls not installed";
    for (const char* name : {"ext4-deleted", "ext4-formatted", "ext4-blockmap"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string img = UnpackFixture(std::string(name) + ".img", dir);
        auto src = OpenRawByteSource(img);
        TExtVolume vol(*src);
        EXPECT_TRUE(vol.Super().ChecksumOk);
        EXPECT_FALSE(vol.SuperFromBackup());
        EXPECT_EQ(vol.BadDescriptors(), 0u);
        std::vector<uint8_t> raw;
        const auto root = vol.ReadInode(kExtRootInode, &raw);
        ASSERT_TRUE(root);
        EXPECT_TRUE(root->IsDir());
        EXPECT_TRUE(root->ChecksumOk);

        const ProcessResult ls = RunProcess({"fls", "-r", "-p", "-u", img});
        ASSERT_EQ(ls.exitCode, 0) << ls.err;
        std::istringstream in(ls.out);
        int compared = 0;
        for (std::string line; std::getline(in, line);) {
            if (line.rfind("r/r ", 0) != 0) continue;
            const uint32_t ino = static_cast<uint32_t>(std::stoul(line.substr(4)));
            std::vector<uint8_t> bytes;
            const auto n = vol.ReadInode(ino, &bytes);
            ASSERT_TRUE(n);
            if (!n->IsRegular() || n->Links == 0) continue;
            EXPECT_TRUE(n->ChecksumOk) << ino;
            EXPECT_TRUE(vol.IsInodeAllocated(ino)) << ino;
            const ProcessResult cat = RunProcess({"icat", img, std::to_string(ino)});
            ASSERT_EQ(cat.exitCode, 0);
            EXPECT_EQ(ReadByMap(vol, *n, bytes), cat.out) << line;
            for (const TExtRun& r : vol.FileMap(*n).Runs)
                if (!r.Unwritten) { EXPECT_TRUE(vol.IsBlockAllocated(r.Physical)) << ino; }
            ++compared;
        }
        // The journal too: one long file the engine can read whatever was deleted.
        if (const uint32_t j = vol.Super().JournalInode) {
            std::vector<uint8_t> bytes;
            const auto n = vol.ReadInode(j, &bytes);
            ASSERT_TRUE(n);
            const ProcessResult cat = RunProcess({"icat", img, std::to_string(j)});
            EXPECT_EQ(ReadByMap(vol, *n, bytes), cat.out);
            ++compared;
        }
        EXPECT_GT(compared, 0);
    }
}

TEST(ExtVolume, RefusesWhatIsNoExt) {
    std::vector<uint8_t> zeros(64 * 1024, 0);
    auto src = MakeMemoryByteSource(zeros);
    EXPECT_THROW(TExtVolume v(*src), std::runtime_error);
}

} // namespace
} // namespace brivo
