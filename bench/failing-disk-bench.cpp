// The direct NTFS scan over a disk with bad areas in its $MFT, each failed read taking as
// long as a failing drive's (0.2 s by default), with the resilient source in front.
// Prints the results listed against the same scan of the clean image, the time, the
// failed reads and the unreadable areas, then the time of the retry at the end.
//
// Usage: failing-disk-bench IMAGE [--delay-ms 200] [--areas 2] [--area-kib 64]
// The areas are spread evenly through the $MFT's first run.
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "core/ByteReaders.h"
#include "core/FailingByteSource.h"
#include "core/ResilientSource.h"
#include "ntfs/NtfsScan.h"

using namespace brivo;

namespace {

double Since(std::chrono::steady_clock::time_point t) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - t).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [--delay-ms N] [--areas N] [--area-kib N]\n", argv[0]);
        return 2;
    }
    int delayMs = 200, areas = 2, areaKib = 64;
    for (int i = 2; i + 1 < argc; i += 2) {
        if (!std::strcmp(argv[i], "--delay-ms")) delayMs = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--areas")) areas = std::atoi(argv[i + 1]);
        else if (!std::strcmp(argv[i], "--area-kib")) areaKib = std::atoi(argv[i + 1]);
    }
    const TByteSourcePtr raw = OpenRawByteSource(argv[1]);
    uint8_t boot[512];
    if (!raw->ReadExact(0, boot, sizeof boot)) return 1;
    const ByteSpan b(boot, sizeof boot);
    const uint64_t cluster = uint64_t{ReadLe16(b, 11)} * ReadU8(b, 13);
    const uint64_t mft = ReadLe64(b, 48) * cluster;

    TReaderOptions opts;
    opts.Masks = {"*"};
    opts.Cleanup = false;
    TNullReport report;
    auto t0 = std::chrono::steady_clock::now();
    const size_t clean = FastScanNtfsDirect(*raw, report, opts).Found.size();
    const double cleanSecs = Since(t0);

    // Records 0..23 describe the volume itself; the areas sit among the user's records,
    // assumed to fill at least the first (areas + 1) * 4 MiB of the $MFT.
    std::vector<TByteRange> bad;
    for (int k = 0; k < areas; ++k) bad.push_back({mft + (uint64_t(k) + 1) * (4u << 20) + 12288, uint64_t(areaKib) << 10});
    auto failing = MakeFailingByteSource(raw, bad, std::chrono::milliseconds(delayMs));
    auto map = std::make_shared<TUnreadableMap>();
    auto src = MakeResilientSource(failing, map);
    t0 = std::chrono::steady_clock::now();
    const size_t listed = FastScanNtfsDirect(*src, report, opts).Found.size();
    const double scanSecs = Since(t0);
    const uint64_t scanFails = failing->FailedReads();
    t0 = std::chrono::steady_clock::now();
    const auto back = src->RetrySkipped();
    const double retrySecs = Since(t0);

    std::printf("clean scan:       %zu results, %.2f s\n", clean, cleanSecs);
    std::printf("bad areas:        %d x %d KiB in the $MFT, %d ms per failed read\n", areas, areaKib, delayMs);
    std::printf("scan:             %zu results (%zu fewer), %.2f s, %llu failed reads\n", listed, clean - listed, scanSecs,
                static_cast<unsigned long long>(scanFails));
    std::printf("retry at the end: %.2f s, %llu failed reads, %zu ranges read back\n", retrySecs,
                static_cast<unsigned long long>(failing->FailedReads() - scanFails), back.size());
    std::printf("total:            %.2f s; unreadable: %zu areas, %llu KiB\n", scanSecs + retrySecs, map->Count(),
                static_cast<unsigned long long>(map->TotalBytes() >> 10));
    return 0;
}
