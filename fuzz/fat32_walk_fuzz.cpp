// A whole scan over a small hostile volume, then a copy of every result through the
// extractor. First input byte: bit 0 set, the rest of the input is the volume as it stands
// (boot sector included); clear, bits 1-2 pick FAT32, FAT16 or FAT12 and the next three
// bytes sectors per cluster, FAT size and root cluster (root entries for FAT12/16) of a
// sound boot sector; the rest is the FAT followed by the root region (FAT12/16) and the
// data area, so mutations land on FAT entries and directory entries.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "fat32/Fat32Log.h"
#include "fat32/Fat32Volume.h"
#include "fat32/Fat32Walk.h"
#include "fat32/FatExtractor.h"

using namespace brivo;

namespace {

void Le16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
void Le32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }

struct CountingSink : TByteSink {
    uint64_t bytes = 0;
    void Write(std::span<const uint8_t> b) override { bytes += b.size(); }
};

// Debug lines are built and formatted, then dropped.
class DebugToNowhere : public TNullReport {
public:
    bool DebugEnabled() const override { return true; }
};
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 4 || size > (1u << 20)) return 0;
    std::vector<uint8_t> image;
    if (data[0] & 1) {
        image.assign(data + 1, data + size);
    } else {
        image.assign(512, 0);
        Le16(&image[11], 512);
        image[13] = uint8_t(1u << (data[1] % 4));
        Le16(&image[14], 1);
        image[16] = 1;
        image[21] = 0xF8;
        switch ((data[0] >> 1) % 3) {
            case 0:  // FAT32
                Le32(&image[36], 1 + data[2] % 4);
                Le32(&image[44], 2 + data[3] % 4);
                break;
            case 1:  // FAT16: the cluster count of the boot sector says so, not the input's size
                Le16(&image[17], uint16_t(16 * (1 + data[3] % 4)));
                Le16(&image[19], 40000);
                Le16(&image[22], uint16_t(1 + data[2] % 4));
                break;
            default:  // FAT12
                Le16(&image[17], uint16_t(16 * (1 + data[3] % 4)));
                Le16(&image[19], 2880);
                Le16(&image[22], uint16_t(1 + data[2] % 4));
                break;
        }
        image[510] = 0x55;
        image[511] = 0xAA;
        image.insert(image.end(), data + 4, data + size);
    }
    DebugToNowhere report;
    const TByteSourcePtr src = MakeMemoryByteSource(image);
    TReaderResult r;
    try {
        TFat32Log log(report);
        r = RunFat32Scan(log, OpenFat32Volume(*src, log), {});
    } catch (const std::runtime_error&) {
        return 0;  // refused geometry
    }
    for (const auto& f : r.Found)
        if (f.Inode.empty() || f.FullPath.empty() || f.FullPath[0] != '/') __builtin_trap();
    // Copies stay within the size the entry gives; what the extractor refuses is an error.
    const auto extractor = MakeFatExtractor(src, nullptr);
    for (const auto& f : r.Found) {
        CountingSink sink;
        try {
            extractor->Extract(f, sink);
        } catch (const std::runtime_error&) {
            continue;
        }
        if (sink.bytes > uint64_t(f.SizeBytes)) __builtin_trap();
    }
    return 0;
}
