// A whole direct NTFS scan over a small hostile volume held in memory.
// First input byte: bit 0 set, the rest of the input is the volume as it stands (boot
// sector included); clear, a sound boot sector (512-byte sectors and clusters, 1024-byte
// records, $MFT at cluster 2) is put in front of the rest, which then starts with the
// $MFT, so mutations land on records, attributes and runlists. Bits 1 and 2 pick the
// masks and whether the cleanup filter is on; bit 3 asks for the deep scan, whose sweep
// reads the free clusters for records of an earlier $MFT.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "ntfs/NtfsScan.h"

using namespace brivo;

namespace {

std::vector<uint8_t> SoundBoot() {
    std::vector<uint8_t> b(1024, 0);
    std::memcpy(b.data() + 3, "NTFS    ", 8);
    b[11] = 0x00; b[12] = 0x02;  // 512 bytes per sector
    b[13] = 1;                   // one sector per cluster
    b[48] = 2;                   // $MFT at cluster 2
    b[64] = 0xF6;                // 1024-byte records
    return b;
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const uint8_t mode = data[0];
    std::vector<uint8_t> image;
    if (!(mode & 1)) image = SoundBoot();
    image.insert(image.end(), data + 1, data + size);

    TNullReport report;
    TReaderOptions opts;
    opts.Cleanup = !(mode & 4);
    opts.Masks = (mode & 2) ? TMaskList{"*.*"} : TMaskList{"*"};
    opts.Deep = (mode & 8) != 0;
    const TByteSourcePtr src = MakeMemoryByteSource(image, "fuzz");
    TReaderResult result;
    try {
        result = FastScanNtfsDirect(*src, report, opts);
    } catch (const std::runtime_error&) {
        // Sources that leave nothing to read end the scan with a message; that is expected.
    }
    for (const auto& f : result.Found)
        if (f.Inode.empty() || f.FullPath.empty()) __builtin_trap();
    return 0;
}
