// The coded-data walk of a picture, and the rebuild of files from pieces over a volume,
// fed hostile bytes: no crash, no hang, never a position past the bytes there are, and
// a rebuilt file's pieces inside the volume and never overlapping.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "carve/ContentSearch.h"
#include "carve/JpegEntropy.h"

using namespace brivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    carve::TMemoryInput in(bytes);
    carve::TJpegScan scan;
    if (carve::ReadJpegScan(in, scan)) {
        if (scan.DataStart > size) std::abort();
        carve::TJpegWalker walker(scan, 512);
        carve::TJpegState s = walker.Start();
        uint64_t marks = 0;
        const carve::TJpegWalk w = walker.Walk(in, s, ~uint64_t{0}, [&](const carve::TJpegState& st, uint64_t at) {
            if (st.Pos > at || at > size + 1) std::abort();
            ++marks;
        });
        if (w.At > size + 2 || s.Pos > size) std::abort();
    }
    // Small clusters, so that even a short input has pieces to be rebuilt from.
    auto src = MakeMemoryByteSource(bytes, "fuzz");
    TNullReport report;
    TCarveOptions opts;
    opts.BlockBytes = 64 * 1024;
    opts.ClusterBytes = 512;
    const TReaderResult r = SearchByContent(*src, report, opts);
    for (const TFoundFile& f : r.Found) {
        auto e = f.Extents;
        std::sort(e.begin(), e.end(), [](const TByteExtent& a, const TByteExtent& b) { return a.Offset < b.Offset; });
        for (size_t i = 0; i < e.size(); ++i) {
            if (e[i].Offset + e[i].Length > size) std::abort();
            if (i && e[i - 1].Offset + e[i - 1].Length > e[i].Offset) std::abort();
        }
    }
    return 0;
}
