#include "ntfs/NtfsVolume.h"

#include <algorithm>
#include <stdexcept>

#include "core/TextFormat.h"
#include "core/NtfsBootSector.h"
#include "ntfs/NtfsFixups.h"
#include "ntfs/NtfsRunList.h"

namespace brivo {

namespace {
bool RangeFits(const TByteSource& source, int64_t offset, int64_t count) {
    if (offset < 0 || count < 0) return false;
    const uint64_t size = source.Size();
    if (size == 0) return true;  // size unknown (some devices): the read itself decides
    return static_cast<uint64_t>(offset) <= size && static_cast<uint64_t>(count) <= size - static_cast<uint64_t>(offset);
}
} // namespace

bool ReadSourceInto(TByteSource& source, int64_t offset, std::span<uint8_t> out) {
    if (!RangeFits(source, offset, static_cast<int64_t>(out.size()))) return false;
    if (out.empty()) return true;
    return source.ReadExact(static_cast<uint64_t>(offset), out.data(), out.size());
}

bool ReadSourceBytes(TByteSource& source, int64_t offset, int64_t count, std::vector<uint8_t>& out) {
    out.clear();
    if (!RangeFits(source, offset, count)) return false;
    try {
        out.resize(static_cast<size_t>(count));
    } catch (const std::bad_alloc&) {
        return false;
    }
    return ReadSourceInto(source, offset, out);
}

bool ReadMftBytes(const TNtfsVolume& vol, int64_t offset, int64_t count, std::vector<uint8_t>& out) {
    out.clear();
    if (count <= 0) return true;
    if (!vol.Source) return false;
    const int64_t bpc = vol.Geo.BytesPerCluster;
    int64_t end = 0;
    if (offset < 0 || bpc < 1 || !AddInt64(offset, count, end)) return false;
    // The whole range must lie on the source before anything is allocated for it.
    if (vol.Source->Size() != 0 && static_cast<uint64_t>(count) > vol.Source->Size()) return false;
    out.resize(static_cast<size_t>(count));
    int64_t remaining = count, done = 0, cur = offset;
    while (remaining > 0) {
        const int64_t vcn = cur / bpc, within = cur % bpc;
        const TNtfsMftRun* run = nullptr;
        for (const auto& r : vol.MftRuns) {
            if (r.Clusters > 0 && r.Vcn <= vcn && vcn - r.Vcn < r.Clusters) { run = &r; break; }
        }
        if (!run || run->Sparse) return false;
        const int64_t piece = std::min(remaining, bpc - within);
        int64_t cl = 0, pos = 0;
        if (!AddInt64(vcn - run->Vcn, run->Lcn, cl) || !MulInt64(cl, bpc, pos) || !AddInt64(pos, within, pos))
            return false;
        if (!ReadSourceInto(*vol.Source, pos, std::span<uint8_t>(out.data() + done, static_cast<size_t>(piece))))
            return false;
        done += piece;
        remaining -= piece;
        cur += piece;
    }
    return true;
}

bool ReadMftRecord(const TNtfsVolume& vol, uint64_t n, std::vector<uint8_t>& rec) {
    int64_t off = 0;
    if (n > static_cast<uint64_t>(INT64_MAX) || !MulInt64(static_cast<int64_t>(n), vol.Geo.RecordSize, off)) return false;
    if (!ReadMftBytes(vol, off, vol.Geo.RecordSize, rec)) return false;
    return ApplyFixups(rec) == TNtfsFixups::Ok;
}

void LoadNtfsVolume(TByteSource& src, TNtfsVolume& vol, const TTranslateFn& translate) {
    auto tr = [&](const char* s) { return translate ? translate(s) : std::string(s); };
    vol = TNtfsVolume{};
    vol.Source = &src;
    std::vector<uint8_t> boot;
    // A lost first sector leaves the backup at the volume's end; only when neither serves
    // does the primary one say why.
    vol.BootCopy = ReadNtfsBootSector(src, boot);
    if (vol.BootCopy == TNtfsBootCopy::None && !ReadSourceBytes(src, 0, 512, boot))
        throw std::runtime_error(tr("Fast Direct NTFS scan failed: cannot read NTFS boot sector."));
    TNtfsGeometry& g = vol.Geo;
    switch (ReadNtfsGeometry(boot, g)) {
    case TNtfsGeometryResult::NotNtfs:
        throw std::runtime_error(tr("Fast Direct NTFS scan failed: selected source does not look like NTFS."));
    case TNtfsGeometryResult::Invalid:
        throw std::runtime_error(
            Format(tr("Fast Direct NTFS scan failed: invalid NTFS geometry bps=%d cluster=%d record=%d mft_lcn=%d"),
                   {g.BytesPerSector, g.BytesPerCluster, g.RecordSize, g.MftLcn}));
    case TNtfsGeometryResult::Ok:
        break;
    }

    std::vector<uint8_t> rec0;
    int64_t off0 = 0;
    if (!MulInt64(g.BytesPerCluster, g.MftLcn, off0) || !ReadSourceBytes(src, off0, g.RecordSize, rec0) ||
        ApplyFixups(rec0) != TNtfsFixups::Ok)
        throw std::runtime_error(tr("Fast Direct NTFS scan failed: cannot read/repair $MFT record 0."));
    if (!ReadMftDataRuns(rec0, vol.MftDataSize, vol.MftRuns))
        throw std::runtime_error(tr("Fast Direct NTFS scan failed: cannot parse $MFT DATA runlist."));
}

} // namespace brivo
