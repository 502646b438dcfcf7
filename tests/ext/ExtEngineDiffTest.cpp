// The reader against the engine (fls -d, icat) on volumes made by the real tools: every
// deleted file the engine can copy is listed at the same address and path with the same
// bytes, and nothing is listed that the engine does not know.
#include <gtest/gtest.h>

#include <map>
#include <sstream>

#include "TestSupport.h"
#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "ext/ExtExtractor.h"
#include "ext/ExtScan.h"
#include "ext/ExtVolume.h"

namespace brivo {
namespace {

using namespace brivo::test;

bool HaveEngine() { return RunProcess({"fls", "-V"}).exitCode == 0; }

// The engine's deleted regular files, address -> "/" path; orphans named as the engine
// names them.
std::map<std::string, std::string> EngineDeleted(const std::string& img) {
    const ProcessResult r = RunProcess({"fls", "-r", "-d", "-p", img});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    std::map<std::string, std::string> out;
    std::istringstream in(r.out);
    for (std::string line; std::getline(in, line);) {
        // "r/r * 12:\tphoto.png" or "-/r * 16:\t$OrphanFiles/OrphanFile-16"
        const size_t star = line.find(" * "), colon = line.find(":\t");
        if (star == std::string::npos || colon == std::string::npos || line.compare(1, 2, "/r") != 0) continue;
        std::string address = line.substr(star + 3, colon - star - 3);
        if (address.find('(') != std::string::npos) continue;   // (realloc): the inode is someone else's
        out[address] = "/" + line.substr(colon + 2);
    }
    return out;
}

TEST(ExtEngineDiff, SameAddressesPathsAndBytes) {
    if (!HaveEngine()) GTEST_SKIP() << "fls not installed";
    for (const char* name : {"ext4-blockmap", "ext4-deleted", "ext4-formatted", "ext2-home", "ext3-home", "ext4-home"}) {
        SCOPED_TRACE(name);
        TempDir dir;
        const std::string img = UnpackFixture(std::string(name) + ".img", dir);
        auto src = OpenRawByteSource(img);
        TNullReport report;
        TReaderOptions opts;
        opts.Cleanup = false;
        const TReaderResult r = FastScanExtDirect(*src, report, opts);
        const auto engine = EngineDeleted(img);
        auto x = MakeExtExtractor(src, nullptr);
        std::map<std::string, std::string> ours;
        for (const TFoundFile& f : r.Found) {
            ours[f.Inode] = f.FullPath;
            auto it = engine.find(f.Inode);
            // Content the journal's copies gave back, at the path the removed folders give:
            // the engine lists the address at most as an orphan (or as the newer file that
            // took the number) and reads nothing of it there.
            if (!f.Extents.empty()) continue;
            ASSERT_NE(it, engine.end()) << f.FullPath << " at " << f.Inode << " is unknown to the engine";
            EXPECT_EQ(it->second, f.FullPath);
            StringSink sink;
            x->Extract(f, sink);
            EXPECT_EQ(sink.bytes, RunProcess({"icat", img, f.Inode}).out) << f.FullPath;
        }
        // What the engine lists with content, we list too; but not what it reads in inode
        // slots this file system never wrote (a format's predecessor left them there).
        TExtVolume vol(*src);
        for (const auto& [address, path] : engine) {
            const uint32_t n = static_cast<uint32_t>(std::stoul(address));
            if (vol.InodeSlotUninit(n)) continue;
            // A size of 0 (the kernel's deletion) copies nothing: no need to ask icat.
            if (const auto inode = vol.ReadInode(n); inode && inode->Size == 0) continue;
            if (RunProcess({"icat", img, address}).out.empty()) continue;
            EXPECT_TRUE(ours.count(address)) << path << " at " << address << " is missing";
        }
    }
}

} // namespace
} // namespace brivo
