// The free-space sweep and the cluster planner over hostile bytes. First byte: cluster size
// (32 << n bytes); next two: the cluster count; then one 16-bit FAT entry per cluster; the
// rest is the data area (short reads fail, as an unreadable device does). The sweep's input
// names the first few clusters as folders the walk read, so joins to them are exercised.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

#include "core/ByteReaders.h"
#include "fat32/FatDeepScan.h"
#include "fat32/FatFragments.h"

using namespace brivo;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 3 || size > (1u << 20)) return 0;
    const uint32_t bpc = 32u << (data[0] % 5);
    const uint32_t count = 1 + (uint32_t(data[1]) | uint32_t(data[2]) << 8) % 4096;
    const ByteSpan rest(data + 3, size - 3);
    const size_t fatBytes = std::min<size_t>(rest.size(), size_t(count + 2) * 2);
    const ByteSpan fat = rest.first(fatBytes);
    const ByteSpan area = rest.subspan(fatBytes);

    TFatVolumeView view;
    view.BytesPerCluster = bpc;
    view.BytesPerSector = std::min<uint32_t>(bpc, 512);
    view.ClusterLimit = count + 2;
    view.RootCluster = 2;
    view.FatEntry = [&](uint32_t c) { return uint32_t(ReadLe16(fat, size_t(c) * 2)); };
    view.ReadClusters = [&](uint32_t first, uint32_t n, uint8_t* out) {
        const uint64_t at = uint64_t(first - 2) * bpc, len = uint64_t(n) * bpc;
        if (first < 2 || at + len > area.size()) return false;
        std::memcpy(out, area.data() + at, len);
        return true;
    };
    view.ClusterOffset = [&](uint32_t c) { return int64_t(c) * bpc; };

    TFatDeepInput in;
    in.KnownDirs = {{"", {2}, false}, {"/_OLDER", {3, 4}, true}};
    in.WalkClusters = {2, 3, 4};
    TNullReport report;
    const TFatDeepResult r = RunFatDeepSweep(view, in, report);
    std::vector<TFatDeletedEntry> entries;
    for (const auto& e : r.Entries) {
        if (!e.ParentPath.empty() && e.ParentPath[0] != '/') __builtin_trap();
        if (e.Item.Name.empty()) __builtin_trap();
        entries.push_back({std::to_string(entries.size()), e.Item.StartCluster, uint64_t(e.Item.SizeBytes),
                           bool(e.Item.Attr & kAttrDirectory)});
    }
    for (uint32_t c : r.DirClusters)
        if (!view.IsDataCluster(c)) __builtin_trap();
    for (const auto& [address, plan] : PlanFatClusters(view, entries, r.DirClusters)) {
        if (plan.Clusters.empty()) __builtin_trap();
        for (uint32_t c : plan.Clusters)
            if (!view.IsDataCluster(c)) __builtin_trap();
    }
    return 0;
}
