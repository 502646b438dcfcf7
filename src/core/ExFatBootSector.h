#pragma once
#include <cstdint>
#include <optional>
#include <string>

#include "core/ByteReaders.h"
#include "core/FileSystems.h"

namespace brivo {

inline constexpr uint32_t kExFatFirstCluster = 2;
// The sectors of one boot region: boot sector, 8 extended boot sectors, OEM parameters,
// reserved, then the checksum sector. The backup region follows the main one.
inline constexpr uint32_t kExFatBootRegionSectors = 12;

// What the boot region says about the volume, checked enough to be used safely.
struct TExFatBoot {
    uint32_t BytesPerSector = 0;
    uint32_t BytesPerCluster = 0;
    uint64_t VolumeBytes = 0;      // as the boot sector states it
    uint64_t FatOffset = 0;        // bytes from the volume's start
    uint64_t FatBytes = 0;
    uint64_t HeapOffset = 0;       // cluster 2's first byte
    uint32_t ClusterCount = 0;     // clusters 2 .. ClusterCount + 1
    uint32_t RootCluster = 0;
    uint32_t SerialNumber = 0;
    bool FromBackup = false;       // the main boot region was unusable
};

// True for the main boot sector of an exFAT volume: its file-system name, the end mark,
// and sector and cluster shifts in the ranges the format allows (512 B to 4 KiB
// sectors, clusters up to 32 MiB). What detection asks.
bool IsExFatBootSector(ByteSpan sector);

// The boot checksum over the 11 sectors of a boot region, as it is stored in the 12th
// (flags and percent-in-use bytes left out).
uint32_t ExFatBootChecksum(ByteSpan region, uint32_t bytesPerSector);

// Decodes the boot sector of a boot region for the reader; false when it is not a usable
// exFAT boot sector (also when its FAT, heap or root cluster cannot be where it says).
// why says what is wrong.
bool ParseExFatBootSector(ByteSpan sector, TExFatBoot& boot, std::string& why);

// The boot sector as the search for lost volumes weighs it: besides the name and the end
// mark, the bytes 11 to 63 that the format keeps zero (where a FAT parameter block would
// be), 1 or 2 FATs, a sector count that fits a disk and a FAT after the boot regions.
// Its backup is the boot region 12 sectors in; its structure, the FAT.
std::optional<TVolumeFacts> ExFatVolumeFacts(ByteSpan sector);
// The first entry of an exFAT FAT (media descriptor 0xF8, then all ones).
bool ExFatStructureLooksRight(const TVolumeFacts& facts, ByteSpan bytes);

} // namespace brivo
