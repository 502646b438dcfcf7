// A whole direct NTFS scan over a small hostile volume, written to an in-memory file.
// First input byte: bit 0 set, the rest of the input is the volume as it stands (boot
// sector included); clear, a sound boot sector (512-byte sectors and clusters, 1024-byte
// records, $MFT at cluster 2) is put in front of the rest, which then starts with the
// $MFT, so mutations land on records, attributes and runlists. Bits 1 and 2 pick the
// masks and the source kind (cleanup filter on or off).
#include <sys/mman.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "NullHost.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "ntfs/NtfsScan.h"
#include "platform/UniqueFd.h"

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

    UniqueFd fd(::memfd_create("ntfs-fuzz", MFD_CLOEXEC));
    if (!fd) return 0;
    size_t done = 0;
    while (done < image.size()) {
        const ssize_t w = ::write(fd.get(), image.data() + done, image.size() - done);
        if (w <= 0) return 0;
        done += static_cast<size_t>(w);
    }
    fuzz::NullHost host;
    TScanState st;
    st.FLastWhereMode = (mode & 4) ? TScanWhere::swRecycleBin : TScanWhere::swDiskImage;
    const TMaskList masks = (mode & 2) ? TMaskList{"*.*"} : TMaskList{"*"};
    try {
        FastScanNtfsDirect(st, host, "/proc/self/fd/" + std::to_string(fd.get()), masks);
    } catch (const std::runtime_error&) {
        // Sources that leave nothing to read end the scan with a message; that is expected.
    }
    for (const auto& f : st.FFound)
        if (f.Inode.empty() || f.FullPath.empty()) __builtin_trap();
    return 0;
}
