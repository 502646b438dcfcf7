#include "ntfs/NtfsCondition.h"

#include <cstdio>

#include "core/ByteReaders.h"
#include "ntfs/NtfsAttributeWalk.h"
#include "ntfs/NtfsRunList.h"

namespace brivo {

namespace {
std::string Tr(const TTranslateFn& translate, const std::string& s) { return translate ? translate(s) : s; }

// The reused share printed with no decimals; the template comes from the translation table,
// so only a template with exactly the expected %.0f, %% and %s is formatted, anything else
// is shown as it stands rather than risk a malformed format.
std::string FormatReused(const std::string& tmpl, double pct, const std::string& suffix) {
    std::string out;
    size_t args = 0;
    for (size_t i = 0; i < tmpl.size(); ++i) {
        if (tmpl[i] != '%') { out.push_back(tmpl[i]); continue; }
        if (tmpl.compare(i, 4, "%.0f") == 0 && args == 0) {
            char buf[64];
            std::snprintf(buf, sizeof buf, "%.0f", pct);
            out += buf;
            i += 3;
            ++args;
        } else if (tmpl.compare(i, 2, "%%") == 0) {
            out.push_back('%');
            ++i;
        } else if (tmpl.compare(i, 2, "%s") == 0 && args == 1) {
            out += suffix;
            ++i;
            ++args;
        } else {
            out.push_back('%');
        }
    }
    return out;
}
} // namespace

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
        const int64_t off = ReadLe16(r, a.P + 32);
        const TNtfsRuns runs = DecodeRunList(r, a.P + off, static_cast<int64_t>(a.Length) - off);
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
    TNtfsCondition c;
    c.Text = Tr(translate, "Unknown");
    if (runs.empty() || !bm.Loaded) return c;
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
    if (tested == 0) return c;
    const double pct = static_cast<double>(used) * 100.0 / static_cast<double>(tested);
    const std::string suffix = sampled ? " sampled" : "";
    if (used == 0) {
        c.Text = Tr(translate, "Excellent") + suffix;
        c.Score = 100;
    } else if (used == tested) {
        c.Text = Tr(translate, "Overwritten") + suffix;
        c.Score = 0;
    } else if (pct <= 5.0) {
        c.Text = FormatReused(Tr(translate, "Good, %.0f%% reused%s"), pct, suffix);
        c.Score = 80;
    } else if (pct <= 50.0) {
        c.Text = FormatReused(Tr(translate, "Damaged, %.0f%% reused%s"), pct, suffix);
        c.Score = 45;
    } else {
        c.Text = FormatReused(Tr(translate, "Poor, %.0f%% reused%s"), pct, suffix);
        c.Score = 15;
    }
    return c;
}

} // namespace brivo
