// The search for lost volumes over a hostile disk held in memory: every sector's boot
// sector or superblock checks, the backup and structure reads they lead to, the
// overlap ranking, and the volumes' bytes with a backup boot sector put in place.
#include <cstddef>
#include <cstdint>
#include <span>

#include "core/ByteSource.h"
#include "volumes/VolumeList.h"
#include "volumes/VolumeSearch.h"

using namespace brivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    auto disk = MakeMemoryByteSource(std::span<const uint8_t>(data, size), "fuzz");
    (void)SearchVolumes(*disk, {{0, size}}, TSearchDepth::Aligned);
    const TSourceVolumes vols = ListVolumesOf(disk, TContainerKind::Raw, TSearchDepth::EverySector);
    for (const auto& v : vols.Volumes) {
        (void)DescribeVolume(v, vols.SectorSize);
        if (!v.Readable) continue;
        auto src = OpenVolumeSource(vols, v);
        uint8_t b[600];
        (void)src->ReadAt(0, b, sizeof b);
        (void)src->ReadAt(src->Size() > 300 ? src->Size() - 300 : 0, b, sizeof b);
    }
    return 0;
}
