#include "ntfs/NtfsRecordSweep.h"

#include <algorithm>
#include <cstring>

#include "core/ByteReaders.h"
#include "core/TextFormat.h"
#include "ntfs/NtfsFileName.h"
#include "ntfs/NtfsFixups.h"
#include "ntfs/NtfsRecordAnalysis.h"
#include "platform/Ticks.h"

namespace brivo {

namespace {

// Read at a time: long enough to read at disk speed, short enough for a prompt Stop.
constexpr uint64_t kSweepChunk = 4u << 20;
constexpr uint64_t kProgressMs = 150;

// Records of NTFS 3.1 carry their own number at 44, and their update sequence array
// follows it, at 48 or later; older ones put the array at 42.
constexpr uint16_t kNumberedHeaderEnd = 48;

} // namespace

TSweptRecordCheck CheckSweptRecord(std::span<uint8_t> rec) {
    const NtfsBytes r(rec.data(), rec.size());
    if (rec.size() < 512 || std::memcmp(rec.data(), "FILE", 4) != 0) return TSweptRecordCheck::NotRecord;
    const uint16_t firstAttr = ReadLe16(r, 20);
    const uint32_t used = ReadLe32(r, 24);
    const uint32_t allocated = ReadLe32(r, 28);
    if (allocated != rec.size() || used > allocated || firstAttr < 42 || firstAttr % 8 || firstAttr + 8u > used)
        return TSweptRecordCheck::NotRecord;
    if (ReadLe16(r, 4) < kNumberedHeaderEnd) return TSweptRecordCheck::Unnumbered;
    if (ApplyFixups(rec) != TNtfsFixups::Ok) return TSweptRecordCheck::Torn;
    if (MftRecordNumber(ReadLe64(r, 32)) != 0) return TSweptRecordCheck::Extension;
    return TSweptRecordCheck::Record;
}

std::vector<TNtfsSweptRecord> SweepFreeClustersForRecords(const TNtfsVolume& vol, const TNtfsClusterBitmap& bm,
                                                          TReaderReport& report, const TTranslateFn& translate,
                                                          TNtfsSweepStats& stats) {
    std::vector<TNtfsSweptRecord> out;
    if (!vol.Source || !bm.Loaded) return out;
    const uint64_t bpc = static_cast<uint64_t>(vol.Geo.BytesPerCluster);
    const uint64_t rs = static_cast<uint64_t>(vol.Geo.RecordSize);
    if (bpc == 0 || rs < 512 || rs > kSweepChunk) return out;
    uint64_t clusters = bm.Bits.size() * 8;
    if (vol.Geo.ClusterCount > 0) clusters = std::min<uint64_t>(clusters, static_cast<uint64_t>(vol.Geo.ClusterCount));
    if (vol.Source->Size() != 0) clusters = std::min<uint64_t>(clusters, vol.Source->Size() / bpc);

    uint64_t freeClusters = 0;
    for (uint64_t c = 0; c < clusters; ++c) freeClusters += !IsClusterInUse(bm, static_cast<int64_t>(c));
    const uint64_t total = freeClusters * bpc;
    const std::string tmpl = translate ? translate("Searching free space for lost records: %d of %d MiB, %d found...")
                                       : "Searching free space for lost records: %d of %d MiB, %d found...";
    uint64_t lastTick = 0;

    std::vector<uint8_t> chunk;
    std::vector<uint8_t> rec(rs);
    TNtfsFileNameInfo name;
    uint64_t c = 0;
    while (c < clusters) {
        if (IsClusterInUse(bm, static_cast<int64_t>(c))) {
            ++c;
            continue;
        }
        uint64_t end = c;
        while (end < clusters && !IsClusterInUse(bm, static_cast<int64_t>(end))) ++end;
        // A record lies at a multiple of its size from the start of its $MFT, which starts
        // on a cluster: so at a multiple of the record size or of the cluster, whichever is
        // smaller, from the volume's start.
        const uint64_t step = std::min(rs, bpc);
        uint64_t pos = c * bpc;
        const uint64_t runEnd = end * bpc;
        while (pos + rs <= runEnd) {
            if (report.StopRequested()) {
                stats.Stopped = true;
                return out;
            }
            uint64_t len = std::min(kSweepChunk, runEnd - pos);
            len -= len % step;
            if (len < rs) break;
            chunk.resize(static_cast<size_t>(len));
            if (!ReadSourceInto(*vol.Source, static_cast<int64_t>(pos), chunk)) {
                ++stats.Unreadable;
                pos += len;
                continue;
            }
            stats.BytesRead += len;
            for (uint64_t off = 0; off + rs <= len; off += step) {
                if (std::memcmp(chunk.data() + off, "FILE", 4) != 0) continue;
                std::memcpy(rec.data(), chunk.data() + off, rs);
                const TSweptRecordCheck check = CheckSweptRecord(rec);
                if (check == TSweptRecordCheck::Torn) ++stats.Torn;
                if (check != TSweptRecordCheck::Record) continue;
                const NtfsBytes r(rec.data(), rec.size());
                if (!ParseMftFileName(r, name)) continue;
                TNtfsSweptRecord s;
                s.Offset = pos + off;
                s.Number = ReadLe32(r, 44);
                s.Seq = ReadLe16(r, 16);
                s.ParentRef = name.ParentRef;
                s.Name = name.Name;
                s.IsDir = (ReadLe16(r, 22) & kMftFlagDirectory) != 0;
                s.InUse = (ReadLe16(r, 22) & kMftFlagInUse) != 0;
                if (!s.IsDir) {
                    const TNtfsRecordFacts f = AnalyzeMftRecord(r, bm, translate);
                    s.HasData = f.HasData;
                    s.Size = f.Size;
                    s.FirstLcn = f.FirstLcn;
                    s.ModDateUtc = f.ModDateUtc;
                    s.HasModDate = f.HasModDate;
                    s.Condition = f.Condition;
                }
                out.push_back(std::move(s));
                ++stats.Records;
            }
            // A record that would straddle the end of this piece is read with the next one.
            const uint64_t advance = len >= rs ? len - (rs - step) : len;
            pos += std::max<uint64_t>(advance, step);
            const uint64_t now = GetTickCount64();
            if (now - lastTick > kProgressMs) {
                lastTick = now;
                report.Progress(stats.BytesRead, std::max<uint64_t>(total, 1),
                                Format(tmpl, {stats.BytesRead >> 20, total >> 20, stats.Records}));
            }
        }
        c = end;
    }
    return out;
}

std::string SweptFolderPath(uint64_t parentRef, const TNtfsNodeMap& swept, const TNtfsNodeMap& live) {
    std::vector<std::string_view> names;
    std::vector<uint64_t> seen;
    std::string prefix;
    uint64_t ref = parentRef;
    TNtfsMftNode node;
    while (true) {
        const uint64_t n = MftRecordNumber(ref);
        if (n == kMftRecordRoot) break;
        const bool found = (swept.Find(n, node) && node.IsDir && ParentReferenceMatches(MftSequenceNumber(ref), node)) ||
                           (live.Find(n, node) && node.IsDir && ParentReferenceMatches(MftSequenceNumber(ref), node));
        if (!found || names.size() >= kMaxMftPathDepth || std::find(seen.begin(), seen.end(), n) != seen.end()) {
            prefix = "$OrphanFiles/Folder " + std::to_string(n);
            break;
        }
        seen.push_back(n);
        names.push_back(node.Name);
        ref = MakeMftReference(node.Parent, node.ParentSeq);
    }
    std::string path = prefix;
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!path.empty()) path.push_back('/');
        path.append(*it);
    }
    return path;
}

std::string SweptAddress(uint64_t record, uint64_t offset) {
    return std::to_string(record) + "@" + std::to_string(offset);
}

bool ParseSweptAddress(const std::string& inode, uint64_t& offset) {
    const size_t at = inode.find('@');
    if (at == std::string::npos || at == 0 || at + 1 >= inode.size() || inode.size() - at > 21) return false;
    for (size_t i = 0; i < inode.size(); ++i)
        if (i != at && (inode[i] < '0' || inode[i] > '9')) return false;
    offset = 0;
    for (size_t i = at + 1; i < inode.size(); ++i) {
        const uint64_t d = static_cast<uint64_t>(inode[i] - '0');
        if (offset > (UINT64_MAX - d) / 10) return false;
        offset = offset * 10 + d;
    }
    return true;
}

} // namespace brivo
