// A whole direct NTFS scan over a small hostile volume held in memory.
// First input byte: bit 0 set, the rest of the input is the volume as it stands (boot
// sector included); clear, a sound boot sector (512-byte sectors and clusters, 1024-byte
// records, $MFT at cluster 2) is put in front of the rest, which then starts with the
// $MFT, so mutations land on records, attributes and runlists. Bits 1 and 2 pick the
// masks and whether the cleanup filter is on; bit 3 asks for the deep scan, whose sweep
// reads the free clusters for records of an earlier $MFT. Bit 4 instead sweeps the whole
// input as a volume whose boot sectors are lost, works out its geometry from the records
// and copies every file it lists. Bit 5 with bit 3 leaves the sweep to a reading of the
// free space after the scan, as the content search does.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "core/Extractor.h"
#include "ntfs/NtfsExtract.h"
#include "ntfs/NtfsScan.h"
#include "ntfs/NtfsSweep.h"

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

class TNullSink final : public TByteSink {
public:
    void Write(std::span<const uint8_t> bytes) override { written += bytes.size(); }
    uint64_t written = 0;
};

void SweepWithoutBoot(const TByteSourcePtr& src, const TMaskList& masks, bool cleanup) {
    TNullReport report;
    const TNtfsSweepResult r = SweepNtfsWithoutBootSector(*src, masks, cleanup, report);
    auto ex = MakeNtfsExtractor(src, nullptr, true);
    for (const auto& f : r.Found) {
        if (!ParseSweptAddress(f.Inode) || f.FullPath.empty()) __builtin_trap();
        TNullSink sink;
        try {
            ex->Extract(f, sink);
        } catch (const std::runtime_error&) {
            continue;  // refused with a reason: expected for hostile records
        }
        if (f.SizeBytes >= 0 && sink.written != static_cast<uint64_t>(f.SizeBytes)) __builtin_trap();
    }
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
    opts.FreeSpaceReadAfter = (mode & 32) != 0;
    const TByteSourcePtr src = MakeMemoryByteSource(image, "fuzz");
    if (mode & 16) {
        SweepWithoutBoot(src, opts.Masks, opts.Cleanup);
        return 0;
    }
    TReaderResult result;
    try {
        result = FastScanNtfsDirect(*src, report, opts);
    } catch (const std::runtime_error&) {
        // Sources that leave nothing to read end the scan with a message; that is expected.
    }
    if (result.Watcher) {
        // As the content search would show it the free space: in pieces, each with the
        // next piece's first bytes after it.
        constexpr uint64_t kPiece = 64 * 1024, kTail = 4096;
        for (const TByteExtent& area : result.FreeAreas) {
            if (area.Offset >= image.size()) continue;
            const uint64_t end = std::min<uint64_t>(area.Offset + area.Length, image.size());
            for (uint64_t at = area.Offset; at < end; at += kPiece) {
                const uint64_t n = std::min(kPiece + kTail, end - at);
                result.Watcher->Search(at, std::span<const uint8_t>(image.data() + at, n), std::min(kPiece, end - at));
            }
        }
        TReaderResult swept = result.Watcher->Finish();
        result.Found.insert(result.Found.end(), swept.Found.begin(), swept.Found.end());
        result.Watcher.reset();
    }
    for (const auto& f : result.Found)
        if (f.Inode.empty() || f.FullPath.empty()) __builtin_trap();
    return 0;
}
