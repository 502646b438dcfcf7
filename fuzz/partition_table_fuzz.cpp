// The partition-table reader and the volume list over a hostile disk held in memory:
// MBR slots, extended chains, GPT headers and entry arrays, and the file-system probe
// at every volume's start. The input is the disk's first bytes; a GPT's backup header
// is looked for in its last sector.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/ByteSource.h"
#include "volumes/VolumeList.h"

using namespace brivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto disk = MakeMemoryByteSource(std::span<const uint8_t>(data, size), "fuzz");
    const TSourceVolumes vols = ListVolumesOf(disk);
    for (const auto& v : vols.Volumes) {
        (void)DescribeVolume(v, vols.SectorSize);
        if (!v.Readable) continue;
        auto src = OpenVolumeSource(vols, v);
        uint8_t b[16];
        (void)src->ReadAt(src->Size() > 8 ? src->Size() - 8 : 0, b, sizeof b);
    }
    return 0;
}
