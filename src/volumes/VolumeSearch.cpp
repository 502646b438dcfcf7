#include "volumes/VolumeSearch.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <set>
#include <tuple>

#include "core/FsDetect.h"
#include "core/NtfsBootSector.h"
#include "volumes/FsProbe.h"

namespace brivo {

namespace {

constexpr uint64_t kSector = 512;
constexpr uint64_t kMiB = 1024 * 1024;
// The full search reads this much at a time: large sequential reads run at disk speed.
constexpr size_t kChunkBytes = 4 * kMiB;
// Volumes kept from one search: a disk crafted to hold a boot sector in every sector
// must not fill memory.
constexpr size_t kMaxFound = 1024;

// Every row the search asks: the file-system table's, then the search-only ones.
const std::vector<const TFsInfo*>& SearchRows() {
    static const std::vector<const TFsInfo*> rows = [] {
        std::vector<const TFsInfo*> r;
        for (const TFsInfo& fs : FileSystemTable())
            if (fs.Facts && fs.CopyBytes <= kDetectBytes && fs.MarkAt + 2 <= kSector) r.push_back(&fs);
        for (const TFsInfo& fs : SearchOnlyFileSystems())
            if (fs.Facts && fs.CopyBytes <= kDetectBytes && fs.MarkAt + 2 <= kSector) r.push_back(&fs);
        return r;
    }();
    return rows;
}

bool HasMark(const TFsInfo& fs, const uint8_t* p) { return (p[fs.MarkAt] | (p[fs.MarkAt + 1] << 8)) == fs.Mark; }

// A sector worth a closer look: it carries the mark of some row's copy (a boot sector's
// end mark, a superblock's magic).
bool IsCandidate(const uint8_t* p) {
    for (const TFsInfo* fs : SearchRows())
        if (HasMark(*fs, p)) return true;
    return false;
}

class TSearcher {
public:
    TSearcher(TByteSource& disk, const std::vector<TSpanRange>& ranges, uint64_t align)
        : disk_(disk), ranges_(ranges), align_(align == 0 ? kSector : align) {}

    // Looks at one sector at pos (its first 512 bytes in hand) as every copy it may be.
    // Returns the end of the furthest volume it confirmed, 0 when none.
    uint64_t Examine(uint64_t pos, ByteSpan sector) {
        uint64_t end = 0;
        // A copy is one kind's: once a row has taken the bytes at this place, rows whose
        // copy lies at the same place are not asked.
        std::vector<uint32_t> taken;
        for (const TFsInfo* fs : SearchRows()) {
            if (!HasMark(*fs, sector.data()) ||
                std::find(taken.begin(), taken.end(), fs->CopyOffset) != taken.end())
                continue;
            ByteSpan copy = sector.first(std::min<size_t>(sector.size(), fs->CopyBytes));
            if (fs->CopyBytes > sector.size()) {
                if (!disk_.ReadExact(pos, copyBuf_, fs->CopyBytes)) continue;
                copy = ByteSpan(copyBuf_, fs->CopyBytes);
            }
            const std::optional<TVolumeFacts> f = fs->Facts(copy);
            if (!f) continue;
            taken.push_back(fs->CopyOffset);
            if (pos >= f->SelfOffset) end = std::max(end, Consider(pos - f->SelfOffset, *f, *fs));
            if (f->MayBeBackup && f->BackupOffset != 0 && pos >= f->BackupOffset)
                end = std::max(end, Consider(pos - f->BackupOffset, *f, *fs));
        }
        return end;
    }

    std::vector<TFoundVolume> Found() const {
        std::vector<TFoundVolume> out;
        for (const auto& [key, v] : found_) out.push_back(v);
        std::stable_sort(out.begin(), out.end(), [](const TFoundVolume& a, const TFoundVolume& b) {
            return a.StartByte != b.StartByte ? a.StartByte < b.StartByte : a.Score() > b.Score();
        });
        return out;
    }

private:
    bool InRanges(uint64_t start) const {
        if (start % align_ != 0) return false;
        return std::any_of(ranges_.begin(), ranges_.end(),
                           [start](const TSpanRange& r) { return start >= r.Begin && start < r.End; });
    }

    // The copy at start + offset, read as the same row's, describes the same volume.
    bool CopyAgrees(uint64_t start, uint64_t offset, const TVolumeFacts& f, const TFsInfo& fs) {
        if (start > UINT64_MAX - offset || !disk_.ReadExact(start + offset, copyBuf_, fs.CopyBytes)) return false;
        const std::optional<TVolumeFacts> g = fs.Facts(ByteSpan(copyBuf_, fs.CopyBytes));
        // A copy that knows its place (a backup superblock) must be found there.
        if (g && !g->MayBeBackup && g->SelfOffset != offset) return false;
        return g && g->SameVolume(f);
    }

    uint64_t Consider(uint64_t start, const TVolumeFacts& f, const TFsInfo& fs) {
        if (!InRanges(start)) return 0;
        const auto key = std::make_tuple(start, reinterpret_cast<uintptr_t>(&fs), f.LengthBytes, f.Serial);
        if (auto it = found_.find(key); it != found_.end()) return it->second.Score() >= 2 ? start + f.LengthBytes : 0;
        if (rejected_.count(key) != 0) return 0;
        TFoundVolume v;
        v.StartByte = start;
        v.LengthBytes = f.LengthBytes;
        v.Fs = &fs;
        v.BytesPerSector = f.BytesPerSector;
        v.MainOffset = f.MainOffset;
        v.BackupOffset = f.BackupOffset;
        v.CopyBytes = f.CopyBytes;
        v.BootSector = CopyAgrees(start, f.MainOffset, f, fs);
        v.Backup = f.BackupOffset != 0 && CopyAgrees(start, f.BackupOffset, f, fs);
        uint8_t s[512];
        v.Structure = start <= UINT64_MAX - f.StructureOffset && disk_.ReadExact(start + f.StructureOffset, s, sizeof s) &&
                      fs.StructureLooksRight(f, ByteSpan(s, sizeof s));
        // A lone copy with nothing behind it is a stray sector (a copy inside a file, a
        // backup read as a primary), not a volume.
        if (!((v.BootSector && (v.Backup || v.Structure)) || (v.Backup && v.Structure))) {
            if (rejected_.size() < 100000) rejected_.insert(key);
            return 0;
        }
        if (found_.size() >= kMaxFound) return 0;
        found_.emplace(key, v);
        return v.Score() >= 2 ? start + f.LengthBytes : 0;
    }

    TByteSource& disk_;
    const std::vector<TSpanRange>& ranges_;
    uint64_t align_;
    // One copy's bytes, for the rows whose copy is longer than a sector.
    uint8_t copyBuf_[kDetectBytes];
    using TKey = std::tuple<uint64_t, uintptr_t, uint64_t, uint64_t>;
    std::map<TKey, TFoundVolume> found_;
    std::set<TKey> rejected_;
};

bool Report(const TSearchProgress& progress, uint64_t done, uint64_t total) { return !progress || progress(done, total); }

uint64_t TotalBytes(const std::vector<TSpanRange>& ranges) {
    uint64_t t = 0;
    for (const auto& r : ranges) t += r.End > r.Begin ? r.End - r.Begin : 0;
    return t;
}

// The first boundary after sector where a volume may start: a 1 MiB boundary, or a
// cylinder boundary of 63-sector tracks and the track after it (where the first primary
// and every logical volume begin) for the head counts disks were partitioned with. Every
// track boundary would be six times as many reads for starts no partitioning tool chose.
uint64_t NextBoundary(uint64_t sector) {
    constexpr uint64_t kMiBSectors = kMiB / kSector;
    uint64_t next = (sector / kMiBSectors + 1) * kMiBSectors;
    for (uint64_t heads : {255, 240, 128, 64}) {
        const uint64_t cylinder = heads * 63;
        const uint64_t base = sector / cylinder * cylinder;
        for (uint64_t at : {base + 63, base + cylinder})
            if (at > sector) next = std::min(next, at);
    }
    return next;
}

// At each boundary a window of a few sectors holds the sector before it (an NTFS backup
// ending the previous volume), the primary copy of every row (a boot sector, a superblock
// 1024 bytes in) and the FAT32 backup boot sector at sector 6.
// The window's sectors to examine, boot being the boundary's: the primary copies first,
// then the FAT32 backup and the sector before.
std::vector<uint64_t> WindowSectors(uint64_t boot) {
    std::vector<uint64_t> at;
    for (const TFsInfo* fs : SearchRows()) {
        const uint64_t sector = boot + fs->CopyOffset / kSector;
        if (std::find(at.begin(), at.end(), sector) == at.end()) at.push_back(sector);
    }
    for (uint64_t more : {boot + 6, boot - 1})
        if (std::find(at.begin(), at.end(), more) == at.end()) at.push_back(more);
    return at;
}

bool SearchAligned(TByteSource& disk, const std::vector<TSpanRange>& ranges, TSearcher& s,
                   const TSearchProgress& progress) {
    constexpr uint64_t kWindowSectors = 8;
    const uint64_t total = TotalBytes(ranges);
    uint64_t done = 0;
    uint64_t lastReport = 0;
    uint8_t window[kWindowSectors * kSector];
    for (const auto& r : ranges) {
        uint64_t skipUntil = 0;
        const uint64_t firstSector = (r.Begin + kSector - 1) / kSector;
        const uint64_t endSector = r.End / kSector;
        // The first boundary at or after the range's start.
        uint64_t sector = firstSector == 0 ? 0 : NextBoundary(firstSector - 1);
        done += (std::min(sector, endSector) - std::min(firstSector, endSector)) * kSector;
        while (sector < endSector) {
            if (sector * kSector >= skipUntil) {
                const uint64_t first = sector == 0 ? 0 : sector - 1;
                const uint64_t boot = sector - first;
                const int64_t got = disk.ReadAt(first * kSector, window, sizeof window);
                for (uint64_t at : WindowSectors(boot)) {
                    if (at >= kWindowSectors || got < 0 || static_cast<uint64_t>(got) < (at + 1) * kSector) continue;
                    const uint64_t end = s.Examine((first + at) * kSector, ByteSpan(window + at * kSector, kSector));
                    skipUntil = std::max(skipUntil, end);
                }
            }
            const uint64_t next = NextBoundary(sector);
            done += (std::min(next, endSector) - sector) * kSector;
            sector = next;
            if (done - lastReport >= 256 * kMiB) {
                lastReport = done;
                if (!Report(progress, done, total)) return false;
            }
        }
    }
    Report(progress, total, total);
    return true;
}

bool SearchEverySector(TByteSource& disk, const std::vector<TSpanRange>& ranges, TSearcher& s,
                       const TSearchProgress& progress) {
    const uint64_t total = TotalBytes(ranges);
    uint64_t done = 0;
    std::vector<uint8_t> buf(kChunkBytes);
    for (const auto& r : ranges) {
        uint64_t at = r.Begin / kSector * kSector;
        while (at < r.End) {
            const size_t want = static_cast<size_t>(std::min<uint64_t>(kChunkBytes, (r.End - at + kSector - 1) / kSector * kSector));
            int64_t got = disk.ReadAt(at, buf.data(), want);
            if (got < 0) {
                // A piece that cannot be read whole is read a sector at a time, so a bad
                // sector hides only itself; what stays unreadable counts as empty.
                for (size_t i = 0; i < want; i += kSector)
                    if (!disk.ReadExact(at + i, buf.data() + i, kSector)) std::memset(buf.data() + i, 0, kSector);
                got = static_cast<int64_t>(want);
            }
            const size_t have = static_cast<size_t>(got) / kSector * kSector;
            for (size_t i = 0; i < have; i += kSector) {
                const uint8_t* p = buf.data() + i;
                if (IsCandidate(p)) s.Examine(at + i, ByteSpan(p, kSector));
            }
            if (have == 0) break;  // the end of the source
            const uint64_t step = have;
            at += step;
            done += step;
            if (!Report(progress, std::min(done, total), total)) return false;
        }
    }
    return true;
}

} // namespace

std::optional<TVolumeFacts> ReadVolumeFacts(ByteSpan head) {
    for (const TFsInfo* fs : SearchRows()) {
        if (head.size() < fs->CopyOffset || head.size() - fs->CopyOffset < fs->CopyBytes) continue;
        if (auto f = fs->Facts(head.subspan(fs->CopyOffset, fs->CopyBytes))) return f;
    }
    return {};
}

std::string TFoundVolume::Evidence() const {
    const std::string primary = Fs ? Fs->CopyName : "boot sector";
    const std::string backup = "backup " + primary;
    if (BootSector && Backup) return primary + " and backup";
    if (Backup) return backup;
    return primary;
}

TSearchOutcome SearchVolumes(TByteSource& disk, const std::vector<TSpanRange>& ranges, TSearchDepth depth,
                             uint32_t alignBytes, const TSearchProgress& progress) {
    TSearcher s(disk, ranges, alignBytes);
    TSearchOutcome out;
    bool finished = true;
    if (depth == TSearchDepth::Aligned) finished = SearchAligned(disk, ranges, s, progress);
    if (depth == TSearchDepth::EverySector) finished = SearchEverySector(disk, ranges, s, progress);
    out.Stopped = !finished;
    out.Volumes = s.Found();
    return out;
}

} // namespace brivo
