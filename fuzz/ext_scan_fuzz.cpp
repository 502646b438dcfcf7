// A whole ext2/3/4 scan, deep part included, over a small hostile volume, then a copy of
// every result through the extractor. The input is the volume as it stands; the seeds are
// small volumes made by mkfs.ext4 and debugfs, so mutations land on the superblock, group
// descriptors, inodes, extent trees, block maps and directory blocks.
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <vector>

#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "ext/ExtExtractor.h"
#include "ext/ExtScan.h"

using namespace brivo;

namespace {

struct CountingSink : TByteSink {
    uint64_t bytes = 0;
    void Write(std::span<const uint8_t> b) override { bytes += b.size(); }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2048 || size > (1u << 20)) return 0;
    const TByteSourcePtr src = MakeMemoryByteSource(std::span<const uint8_t>(data, size));
    TNullReport report;
    TReaderOptions opts;
    opts.Masks = {};
    opts.Cleanup = false;
    opts.Deep = true;
    TReaderResult r;
    try {
        r = FastScanExtDirect(*src, report, opts);
    } catch (const std::runtime_error&) {
        return 0;
    }
    for (const TByteExtent& a : r.FreeAreas)
        if (a.Offset + a.Length > uint64_t{1} << 48) __builtin_trap();
    const auto x = MakeExtExtractor(src, nullptr);
    for (const auto& f : r.Found) {
        if (f.FullPath.empty() || f.FullPath[0] != '/' || f.FullPath.find("/../") != std::string::npos) __builtin_trap();
        // Sizes up to the format's limit are possible; copying them is not the point here.
        if (f.SizeBytes > (int64_t{64} << 20)) continue;
        CountingSink sink;
        try {
            x->Extract(f, sink);
        } catch (const std::runtime_error&) {
            continue;
        }
        if (sink.bytes != uint64_t(f.SizeBytes)) __builtin_trap();
    }
    return 0;
}
