// A whole exFAT scan, deep sweep included, over a small hostile volume, then a copy of
// every result through the extractor. First input byte: bit 0 set, the rest of the input
// is the volume as it stands (boot region included); clear, bits 1-3 pick the cluster
// size (512 << n bytes) and the next byte the root cluster of a sound boot region written
// here (with its checksum), and the rest is the FAT followed by the cluster heap, so
// mutations land on FAT entries, the bitmap and directory entry sets.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "exfat/ExFatExtractor.h"
#include "exfat/ExFatScan.h"
#include "exfat/ExFatVolume.h"

using namespace brivo;

namespace {

void Le32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }

struct CountingSink : TByteSink {
    uint64_t bytes = 0;
    void Write(std::span<const uint8_t> b) override { bytes += b.size(); }
};

std::vector<uint8_t> BuildVolume(const uint8_t* data, size_t size) {
    const uint32_t spcShift = (data[0] >> 1) & 7;
    const uint32_t bpc = 512u << spcShift;
    const uint32_t rootCluster = 2 + data[1] % 8;
    const size_t fatSectors = 8;
    const size_t heapSector = 24 + fatSectors;
    std::vector<uint8_t> v(heapSector * 512, 0);
    uint8_t* b = v.data();
    b[0] = 0xEB; b[1] = 0x76; b[2] = 0x90;
    std::memcpy(b + 3, "EXFAT   ", 8);
    const size_t rest = size - 2;
    const uint32_t clusters = static_cast<uint32_t>(std::min<size_t>(fatSectors * 512 / 4 - 2,
                                                                     std::max<size_t>(1, rest / bpc)));
    Le32(b + 72, static_cast<uint32_t>(heapSector + size_t{clusters} * (bpc / 512)));
    Le32(b + 80, 24);
    Le32(b + 84, static_cast<uint32_t>(fatSectors));
    Le32(b + 88, static_cast<uint32_t>(heapSector));
    Le32(b + 92, clusters);
    Le32(b + 96, rootCluster);
    b[108] = 9;
    b[109] = static_cast<uint8_t>(spcShift);
    b[110] = 1;
    b[510] = 0x55; b[511] = 0xAA;
    const uint32_t sum = ExFatBootChecksum(ByteSpan(v.data(), 11 * 512), 512);
    for (int i = 0; i < 128; ++i) Le32(b + 11 * 512 + 4 * i, sum);
    // The FAT, then the heap.
    const size_t fatBytes = std::min(rest, fatSectors * 512);
    std::memcpy(b + 24 * 512, data + 2, fatBytes);
    v.insert(v.end(), data + 2 + fatBytes, data + size);
    return v;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 2 || size > (1u << 20)) return 0;
    const std::vector<uint8_t> vol = (data[0] & 1) ? std::vector<uint8_t>(data + 1, data + size) : BuildVolume(data, size);
    const TByteSourcePtr src = MakeMemoryByteSource(vol);
    TNullReport report;
    TReaderOptions opts;
    opts.Masks = {};
    opts.Cleanup = false;
    opts.Deep = true;
    TReaderResult r;
    try {
        r = FastScanExFatDirect(*src, report, opts);
    } catch (const std::runtime_error&) {
        return 0;
    }
    const auto x = MakeExFatExtractor(src, nullptr);
    for (const auto& f : r.Found) {
        if (f.FullPath.empty() || f.FullPath[0] != '/' || f.FullPath.find("/../") != std::string::npos) __builtin_trap();
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
