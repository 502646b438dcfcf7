#pragma once
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/ByteSource.h"
#include "fat32/Fat32Log.h"

namespace brivo {

// FAT32 entries keep their number in the low 28 bits; values from 0x0FFFFFF7 up are the
// bad-cluster mark and the end-of-chain marks. FAT12 and FAT16 entries are widened to the
// same scale when read, so their marks (0xFF7.., 0xFFF7..) land there too.
inline constexpr uint32_t kFatEntryMask = 0x0FFFFFFF;
inline constexpr uint32_t kFatFirstMarker = 0x0FFFFFF7;
// A directory read without a size hint (every FAT32 directory entry records size 0).
inline constexpr uint32_t kDirChainCapClusters = 8192;
// A FAT directory holds at most 65536 32-byte slots, so no real directory is larger.
inline constexpr uint64_t kDirMaxBytes = 65536ull * 32;
// The consecutive-cluster fallback for a deleted directory whose chain was cleared.
inline constexpr uint32_t kFallbackMaxClusters = 32;

// A FAT12, FAT16 or FAT32 volume.
struct TFat32Volume {
    TByteSource* Source = nullptr;  // not owned; outlives the volume
    int FatBits = 32;               // 12, 16 or 32
    uint16_t BytesPerSector = 0;
    uint32_t BytesPerCluster = 0;
    int64_t FatOffset = 0;
    int64_t DataOffset = 0;         // cluster 2
    uint32_t RootCluster = 0;       // FAT32; 0 where the root has a region of its own
    int64_t RootDirOffset = 0;      // FAT12/16: the fixed root directory region
    uint32_t RootDirBytes = 0;
    uint32_t FatSectors = 0;
    uint8_t FatCount = 1;           // copies of the FAT; the second stands in for a bad first
    uint64_t TotalSectors = 0;      // as the boot sector gives it
    // One past the highest cluster number that both the first FAT and the source can hold;
    // a chain pointing at or beyond it is damaged and ends there.
    uint32_t ClusterLimit = 0;

    // The FAT block last read: chains and allocation tests touch neighbouring entries.
    int64_t FatCacheOffset = -1;
    std::vector<uint8_t> FatCache;
};

// "FAT12", "FAT16" or "FAT32".
std::string FatKindName(const TFat32Volume& vol);
// The engine numbers directory entries by 32-byte slot from the end of the FATs (the root
// region of FAT12/16, cluster 2 of FAT32), the first one being 3.
int64_t FatAddressBase(const TFat32Volume& vol);

// Checks the boot sector of the volume that starts at byte 0 of source
// (DecodeFatBootSector decides whether it is FAT and its FAT width) and writes the
// geometry line. Throws std::runtime_error with the user's message when the source cannot
// be used. The source must outlive the volume.
TFat32Volume OpenFat32Volume(TByteSource& source, TFat32Log& log);

// Count bytes at offset through whole-sector reads at sector boundaries. False when not all
// of them can be read (data is then empty).
bool ReadVolumeBytes(TFat32Volume& vol, int64_t offset, int64_t count, std::vector<uint8_t>& data);

int64_t ClusterToOffset(const TFat32Volume& vol, uint32_t cluster);
// The entry of the first FAT (28-bit scale); 0 when it cannot be read or lies outside the FAT.
uint32_t ReadFatEntry(TFat32Volume& vol, uint32_t cluster);
bool IsClusterAllocated(TFat32Volume& vol, uint32_t cluster);
// A cluster number that the volume can hold.
bool IsDataCluster(const TFat32Volume& vol, uint32_t cluster);

// Directory data with the volume position of every cluster-sized piece of it, so that an
// entry's true position is known even when the directory is fragmented.
struct TFatDirData {
    std::vector<uint8_t> Data;
    std::vector<int64_t> PieceOffsets;  // volume offset of Data[i * BytesPerCluster]
    uint32_t BytesPerCluster = 0;
    std::string Note;                   // why a chain read stopped early, for the debug log

    int64_t EntryOffset(size_t index) const;
};

// Clusters already read as directory data in this scan. A chain that reaches one of them
// has looped or is cross-linked with another directory, and is cut there.
using TFatClusterSet = std::unordered_set<uint32_t>;

// Follows the FAT from start. Stops at the end mark, a free or out-of-range entry, a cluster
// already read (loop or cross-link), the cap, or the first cluster that cannot be read
// (keeping what was read before it). False when nothing was read.
bool ReadClusterChain(TFat32Volume& vol, uint32_t start, int64_t sizeHint, TFatDirData& out,
                      TFatClusterSet* consumed = nullptr);
// Reads start, start + 1, ... without the FAT (1 cluster without a size hint, at most 32).
bool ReadContiguousClusters(TFat32Volume& vol, uint32_t start, int64_t sizeHint, TFatDirData& out);
// The fixed root directory region of FAT12/16. False when it cannot be read.
bool ReadRootRegion(TFat32Volume& vol, TFatDirData& out);
// The chain, or for a deleted directory the consecutive-cluster fallback; writes debug lines.
bool ReadDirectoryClusters(TFat32Volume& vol, TFat32Log& log, uint32_t start, int64_t sizeHint, bool deleted,
                           TFatDirData& out, TFatClusterSet* consumed = nullptr);

} // namespace brivo
