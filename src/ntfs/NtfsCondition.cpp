#include "ntfs/NtfsCondition.h"

#include "core/ByteReaders.h"
#include "ntfs/NtfsAttributeWalk.h"
#include "ntfs/NtfsRunList.h"

namespace brivo {


bool LoadClusterBitmap(const TNtfsVolume& vol, TNtfsClusterBitmap& bm) {
    bm.Bits.clear();
    bm.Loaded = false;
    std::vector<uint8_t> rec;
    if (!ReadMftRecord(vol, kMftRecordBitmap, rec)) return false;
    const NtfsBytes r(rec);
    const int64_t recSize = static_cast<int64_t>(rec.size());
    const int64_t bpc = vol.Geo.BytesPerCluster;
    WalkMftAttributes(r, [&](const TNtfsAttr& a) {
        if (a.Type != kAttrData) return true;
        if (!a.NonResident) {
            const int64_t len = ReadLe32(r, a.P + 16);
            const int64_t v = a.P + ReadLe16(r, a.P + 20);
            if (len < 1 || len > 0x7FFFFFFF || v + len > recSize) return true;
            bm.Bits.assign(rec.begin() + v, rec.begin() + v + len);
            bm.Loaded = true;
            return false;
        }
        if (a.P + 64 > recSize) return true;
        const int64_t size = static_cast<int64_t>(ReadLe64(r, a.P + 48));
        if (size <= 0 || size > kMaxClusterBitmapBytes) return false;
        // A bitmap larger than the whole source cannot be real; do not reserve memory for it.
        if (vol.Source->Size() != 0 && static_cast<uint64_t>(size) > vol.Source->Size()) return false;
        bm.Bits.assign(static_cast<size_t>(size), 0);
        const TNtfsRuns runs = DecodeAttributeRuns(r, a.P, a.Length).Runs;
        int64_t remaining = size, written = 0;
        for (const auto& run : runs) {
            if (remaining <= 0) break;
            int64_t span = 0;
            if (run.Clusters <= 0) continue;
            if (!MulInt64(run.Clusters, bpc, span) || span > 0x7FFFFFFF) span = 0x7FFFFFFF;
            const int64_t piece = std::min(remaining, span);
            if (run.Lcn <= 0 || run.Sparse) {
                // A sparse stretch reads as zeros (clusters free); later runs keep their
                // place in the stream.
                written += piece;
                remaining -= piece;
                continue;
            }
            int64_t pos = 0;
            if (!MulInt64(run.Lcn, bpc, pos) ||
                !ReadSourceInto(*vol.Source, pos, std::span<uint8_t>(bm.Bits.data() + written, static_cast<size_t>(piece)))) {
                bm.Bits.clear();
                return false;
            }
            written += piece;
            remaining -= piece;
        }
        bm.Loaded = !bm.Bits.empty();
        return false;
    });
    if (!bm.Loaded) bm.Bits.clear();
    return bm.Loaded;
}

bool IsClusterInUse(const TNtfsClusterBitmap& bm, int64_t c) {
    if (!bm.Loaded || c < 0) return false;
    const uint64_t byte = static_cast<uint64_t>(c) / 8;
    if (byte >= bm.Bits.size()) return false;
    return (bm.Bits[byte] >> (c % 8)) & 1;
}

TNtfsCondition EstimateRunCondition(const TNtfsClusterBitmap& bm, const TNtfsRuns& runs, const TTranslateFn& translate) {
    if (runs.empty() || !bm.Loaded) return ConditionFromReuse(0, 0, false, translate);
    int64_t tested = 0, used = 0;
    bool sampled = false;
    for (const auto& run : runs) {
        if (run.Clusters <= 0 || run.Lcn <= 0 || run.Sparse) continue;
        int64_t k = run.Clusters;
        if (k > kConditionSampleClusters - tested) {
            k = kConditionSampleClusters - tested;
            sampled = true;
        }
        for (int64_t j = 0; j < k; ++j) {
            // Lcn + j cannot overflow into a false hit: past INT64_MAX it is simply not in use.
            int64_t cl = 0;
            if (AddInt64(run.Lcn, j, cl) && IsClusterInUse(bm, cl)) ++used;
        }
        tested += k;
        if (tested >= kConditionSampleClusters) break;
    }
    return ConditionFromReuse(tested, used, sampled, translate);
}

} // namespace brivo
