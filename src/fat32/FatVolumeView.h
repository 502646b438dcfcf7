#pragma once
#include <cstdint>
#include <functional>

namespace brivo {

// What the free-space sweep and the cluster planner need to know of a FAT volume, whatever
// its FAT width and wherever its bytes come from. The reader fills it from its open volume;
// tests fill it from memory.
struct TFatVolumeView {
    uint32_t BytesPerCluster = 0;
    uint32_t BytesPerSector = 512;
    // One past the highest data cluster that both the FAT and the source can hold.
    uint32_t ClusterLimit = 0;
    // The first cluster of the root directory (FAT32); 0 where the root has a region of its own.
    uint32_t RootCluster = 0;
    // The cluster's FAT entry; 0 is free. Anything else (a chain, an end or bad mark) is in use.
    std::function<uint32_t(uint32_t cluster)> FatEntry;
    // count whole clusters from first into out (count * BytesPerCluster bytes); false when
    // any of them cannot be read.
    std::function<bool(uint32_t first, uint32_t count, uint8_t* out)> ReadClusters;
    // The volume offset of a cluster's first byte.
    std::function<int64_t(uint32_t cluster)> ClusterOffset;

    bool IsDataCluster(uint32_t c) const { return c >= 2 && c < ClusterLimit; }
    bool IsFree(uint32_t c) const { return IsDataCluster(c) && FatEntry && FatEntry(c) == 0; }
};

} // namespace brivo
