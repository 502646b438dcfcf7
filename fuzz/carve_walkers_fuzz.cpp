// Every format walker, and the search over a volume, fed hostile bytes: no crash, no
// hang, never a length past the bytes there are, and never more proven than the file's
// length, nor a complete file proven short of it.
#include <cstdint>
#include <cstdlib>
#include <span>

#include "carve/CarveFormat.h"
#include "carve/ContentSearch.h"

using namespace brivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::span<const uint8_t> bytes(data, size);
    for (const carve::TCarveFormat& f : carve::CarveFormats()) {
        carve::TMemoryInput in(bytes);
        const carve::TCarveHit h = f.Walk(in);
        if (h.Length > size) std::abort();
        if (h.End != carve::TCarveEnd::NotFile && h.ProvenBytes > h.Length) std::abort();
        if (h.End == carve::TCarveEnd::Complete && h.ProvenBytes != h.Length) std::abort();
    }
    // The whole input as a volume, searched in two areas with a gap.
    auto src = MakeMemoryByteSource(bytes, "fuzz");
    TNullReport report;
    TCarveOptions opts;
    opts.BlockBytes = 64 * 1024;
    if (size > 1024) opts.Areas = {{0, size / 3}, {size / 2, size}};
    const TReaderResult r = SearchByContent(*src, report, opts);
    for (const TFoundFile& f : r.Found)
        for (const TByteExtent& e : f.Extents)
            if (e.Offset + e.Length > size) std::abort();
    return 0;
}
