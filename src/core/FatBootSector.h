#pragma once
#include <cstdint>
#include <string>

#include <optional>

#include "core/ByteReaders.h"
#include "core/FileSystems.h"

namespace brivo {

// The parameter block of a FAT12, FAT16 or FAT32 boot sector, and what follows from it.
struct TFatBootSector {
    uint16_t BytesPerSector = 0;
    uint8_t SectorsPerCluster = 0;
    uint16_t ReservedSectors = 0;
    uint8_t NumberOfFats = 0;
    uint16_t RootEntries = 0;   // FAT12/16: slots of the fixed root directory region
    uint8_t Media = 0;
    uint64_t TotalSectors = 0;  // the 16-bit field when set, else the 32-bit one
    uint32_t FatSectors = 0;    // of one FAT
    uint32_t RootCluster = 0;   // FAT32; 0 for FAT12/16
    uint64_t DataSectors = 0;   // after the reserved sectors, the FATs and the root region
    uint64_t Clusters = 0;      // whole clusters in the data region
    int FatBits = 0;            // 12, 16 or 32
};

// Decodes the first sector of a FAT volume. False, with the reason in `why` (English,
// for the debug log), when the sector is no FAT boot sector. What every formatter writes
// (mkfs.fat, Windows, cameras) is required: the 0x55AA mark at 510; 512, 1024, 2048 or
// 4096 bytes per sector; a power-of-two cluster of at most 128 sectors; reserved sectors;
// 1 to 4 FATs; a media byte of 0xF0 or 0xF8..0xFF; a data region after the metadata.
// A 16-bit FAT size of 0 makes the block FAT32's, whatever its cluster count (small
// FAT32 volumes exist and are read as FAT32 by every system), with a FAT32 size and a
// root cluster of at least 2. Otherwise the block is FAT12 below 4085 clusters and FAT16
// below 65525, with a root directory region; more clusters than a 16-bit FAT can number
// make it no FAT volume. Label texts and the jump instruction play no part.
bool DecodeFatBootSector(ByteSpan sector, TFatBootSector& out, std::string* why = nullptr);

// The kind of a first sector that DecodeFatBootSector takes: Fat12, Fat16 or Fat32;
// NotRecognised otherwise.
TFsKind FatKindOfBootSector(ByteSpan sector);

// A first sector that starts a FAT volume, not a partition table: a master boot record
// carries the same mark and may hold anything where a parameter block would be, so the
// jump over the parameter block (0xEB or 0xE9) is required too.
bool IsFatVolumeBootRecord(ByteSpan sector);

// The boot sector as the search for lost volumes weighs it: a volume boot record whose
// parameter block decodes, with its end mark, not named NTFS or exFAT. Its backup is
// FAT32's copy in the reserved sectors (none on FAT12/16, or where the field points
// outside them); its structure, the first FAT.
std::optional<TVolumeFacts> FatVolumeFacts(ByteSpan sector);
// The first FAT entry: the media byte, then 0xFF.
bool FatStructureLooksRight(const TVolumeFacts& facts, ByteSpan bytes);

} // namespace brivo
