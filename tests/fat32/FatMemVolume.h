#pragma once
// A volume's clusters and FAT held in memory, seen through TFatVolumeView, for the sweep's
// and the cluster planner's tests.
#include <algorithm>
#include <cstdint>
#include <cstring>
#include <vector>

#include "FatTestImage.h"
#include "fat32/FatVolumeView.h"

namespace brivo::test {

struct FatMemVolume {
    uint32_t bpc = 512;
    uint32_t limit = 0;              // one past the highest cluster
    std::vector<uint32_t> fat;       // entry per cluster; 0 free
    std::vector<uint8_t> data;       // clusters from 2 on
    int64_t dataOffset = 0x10000;
    uint32_t readsLeft = ~0u;        // cluster reads allowed before reads fail

    FatMemVolume(uint32_t clusterCount, uint32_t bytesPerCluster = 512)
        : bpc(bytesPerCluster), limit(clusterCount + 2), fat(limit, 0), data(size_t(clusterCount) * bytesPerCluster, 0) {}

    uint8_t* Cluster(uint32_t c) { return data.data() + size_t(c - 2) * bpc; }
    void Use(uint32_t c) { fat[c] = 0x0FFFFFFF; }
    // Directory entries written from the start of cluster c on, running into the next clusters.
    void PutEntries(uint32_t c, const std::vector<FatEntry>& entries, size_t slot = 0) {
        for (const auto& e : entries) std::memcpy(Cluster(c) + (slot++) * 32, e.data(), 32);
    }
    void Fill(uint32_t c, uint8_t byte, size_t from = 0) { std::memset(Cluster(c) + from, byte, bpc - from); }
    void Random(uint32_t c, uint32_t seed) {
        for (uint32_t i = 0; i < bpc; ++i) {
            seed = seed * 1103515245u + 12345u;
            Cluster(c)[i] = uint8_t(seed >> 16);
        }
    }
    int64_t Offset(uint32_t c) const { return dataOffset + int64_t(c - 2) * bpc; }

    TFatVolumeView View() {
        TFatVolumeView v;
        v.BytesPerCluster = bpc;
        v.BytesPerSector = std::min<uint32_t>(512, bpc);
        v.ClusterLimit = limit;
        v.FatEntry = [this](uint32_t c) { return c < fat.size() ? fat[c] : 0u; };
        v.ReadClusters = [this](uint32_t first, uint32_t count, uint8_t* out) {
            if (first < 2 || uint64_t{first} + count > limit || readsLeft < count) return false;
            readsLeft -= count;
            std::memcpy(out, Cluster(first), size_t(count) * bpc);
            return true;
        };
        v.ClusterOffset = [this](uint32_t c) { return Offset(c); };
        return v;
    }
};

// "." and ".." of a folder whose first cluster is self.
inline std::vector<FatEntry> DotEntries(uint32_t self, uint32_t parent) {
    return {ShortEntry(".", 0x10, self, 0), ShortEntry("..", 0x10, parent, 0)};
}

} // namespace brivo::test
