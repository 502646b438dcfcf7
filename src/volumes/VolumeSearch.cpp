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

// No volume is larger: keeps every product of a sector count and a sector size in range.
constexpr uint64_t kMaxVolumeBytes = uint64_t{1} << 56;
constexpr uint64_t kSector = 512;
constexpr uint64_t kMiB = 1024 * 1024;
// The full search reads this much at a time: large sequential reads run at disk speed.
constexpr size_t kChunkBytes = 4 * kMiB;
// Volumes kept from one search: a disk crafted to hold a boot sector in every sector
// must not fill memory.
constexpr size_t kMaxFound = 1024;

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

bool TextAt(ByteSpan b, size_t pos, const char* text) {
    const size_t n = std::strlen(text);
    return b.size() >= pos + n && std::memcmp(b.data() + pos, text, n) == 0;
}

std::optional<TBootFacts> NtfsFacts(ByteSpan s) {
    if (DetectFileSystemFromBootSector(s) != TFsKind::Ntfs || ReadLe16(s, 510) != 0xAA55) return {};
    const uint64_t bps = ReadLe16(s, 11);
    const uint64_t spc = NtfsSectorsPerCluster(ReadU8(s, 13));
    const uint64_t total = ReadLe64(s, 40);
    const uint64_t mft = ReadLe64(s, 48);
    if (bps < 256 || bps > 4096 || !IsPowerOfTwo(bps) || spc == 0 || spc * bps > static_cast<uint64_t>(kNtfsMaxClusterBytes)) return {};
    if (total == 0 || total >= kMaxVolumeBytes / bps || mft == 0 || mft > total / spc) return {};
    TBootFacts f;
    f.Family = TSearchFamily::Ntfs;
    f.BytesPerSector = static_cast<uint32_t>(bps);
    // The sector count leaves out the last sector, which holds the backup.
    f.LengthBytes = (total + 1) * bps;
    f.BackupOffset = total * bps;
    f.StructureOffset = mft * spc * bps;
    f.Serial = ReadLe64(s, 72);
    return f;
}

std::optional<TBootFacts> ExFatFacts(ByteSpan s) {
    if (!TextAt(s, 3, "EXFAT   ") || ReadLe16(s, 510) != 0xAA55) return {};
    for (size_t i = 11; i < 64; ++i)
        if (s[i] != 0) return {};
    const uint8_t bpsShift = ReadU8(s, 108);
    const uint8_t spcShift = ReadU8(s, 109);
    const uint8_t fats = ReadU8(s, 110);
    const uint64_t sectors = ReadLe64(s, 72);
    const uint64_t fatOffset = ReadLe32(s, 80);
    if (bpsShift < 9 || bpsShift > 12 || spcShift > 25 - bpsShift || (fats != 1 && fats != 2)) return {};
    if (sectors == 0 || sectors >= (kMaxVolumeBytes >> bpsShift) || fatOffset < 24 || fatOffset >= sectors) return {};
    TBootFacts f;
    f.Family = TSearchFamily::ExFat;
    f.BytesPerSector = 1u << bpsShift;
    f.LengthBytes = sectors << bpsShift;
    f.BackupOffset = uint64_t{12} << bpsShift;
    f.StructureOffset = fatOffset << bpsShift;
    f.Serial = ReadLe32(s, 100);
    return f;
}

std::optional<TBootFacts> FatFacts(ByteSpan s) {
    // The parameter block's plausibility is the probe's; the sizes are read here.
    if (!LooksLikeVolumeBootRecord(s) || TextAt(s, 3, "NTFS    ") || TextAt(s, 3, "EXFAT   ") ||
        ReadLe16(s, 510) != 0xAA55)
        return {};
    const uint64_t bps = ReadLe16(s, 11);
    const uint64_t reserved = ReadLe16(s, 14);
    const uint64_t total = ReadLe16(s, 19) != 0 ? ReadLe16(s, 19) : ReadLe32(s, 32);
    const uint8_t media = ReadU8(s, 21);
    if (media != 0xF0 && media < 0xF8) return {};
    TBootFacts f;
    f.Family = TSearchFamily::Fat;
    f.BytesPerSector = static_cast<uint32_t>(bps);
    f.LengthBytes = total * bps;
    f.StructureOffset = reserved * bps;
    f.Media = media;
    const bool fat32 = ReadLe16(s, 22) == 0;
    f.Serial = ReadLe32(s, fat32 ? 67 : 39);
    if (fat32) {
        const uint64_t backup = ReadLe16(s, 50);
        if (backup != 0 && backup < reserved) f.BackupOffset = backup * bps;
    }
    return f;
}

// A sector worth a closer look: a boot sector's end mark, or an ext superblock's magic.
bool IsBootCandidate(const uint8_t* p) { return p[510] == 0x55 && p[511] == 0xAA; }
bool IsExtCandidate(const uint8_t* p) { return p[56] == 0x53 && p[57] == 0xEF; }

class TSearcher {
public:
    TSearcher(TByteSource& disk, const std::vector<TSpanRange>& ranges, uint64_t align)
        : disk_(disk), ranges_(ranges), align_(align == 0 ? kSector : align) {}

    // Looks at one sector at pos (its first 512 bytes in hand) as every copy it may be.
    // Returns the end of the furthest volume it confirmed, 0 when none.
    uint64_t Examine(uint64_t pos, ByteSpan sector) {
        uint64_t end = 0;
        if (IsBootCandidate(sector.data())) {
            std::optional<TBootFacts> f = NtfsFacts(sector);
            if (!f) f = ExFatFacts(sector);
            if (!f) f = FatFacts(sector);
            if (f) {
                end = std::max(end, Consider(pos, *f));
                if (f->BackupOffset != 0 && pos >= f->BackupOffset) end = std::max(end, Consider(pos - f->BackupOffset, *f));
            }
        }
        if (IsExtCandidate(sector.data())) {
            uint8_t sb[1024];
            std::optional<TBootFacts> f;
            if (disk_.ReadExact(pos, sb, sizeof sb)) f = ReadExtSuperblockFacts(ByteSpan(sb, sizeof sb));
            if (f && pos >= f->SelfOffset) end = std::max(end, Consider(pos - f->SelfOffset, *f));
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

    // The copy at start + offset, read as the same family, describes the same volume.
    bool CopyAgrees(uint64_t start, uint64_t offset, const TBootFacts& f) {
        uint8_t b[1024];
        const size_t n = f.Family == TSearchFamily::Ext ? 1024 : 512;
        if (start > UINT64_MAX - offset || !disk_.ReadExact(start + offset, b, n)) return false;
        const ByteSpan s(b, n);
        std::optional<TBootFacts> g;
        switch (f.Family) {
            case TSearchFamily::Ntfs: g = NtfsFacts(s); break;
            case TSearchFamily::ExFat: g = ExFatFacts(s); break;
            case TSearchFamily::Fat: g = FatFacts(s); break;
            case TSearchFamily::Ext:
                g = ReadExtSuperblockFacts(s);
                if (g && g->SelfOffset != offset) return false;
                break;
        }
        return g && g->SameVolume(f);
    }

    uint64_t Consider(uint64_t start, const TBootFacts& f) {
        if (!InRanges(start)) return 0;
        const auto key = std::make_tuple(start, static_cast<int>(f.Family), f.LengthBytes, f.Serial);
        if (auto it = found_.find(key); it != found_.end()) return it->second.Score() >= 2 ? start + f.LengthBytes : 0;
        if (rejected_.count(key) != 0) return 0;
        TFoundVolume v;
        v.StartByte = start;
        v.LengthBytes = f.LengthBytes;
        v.Family = f.Family;
        v.BytesPerSector = f.BytesPerSector;
        v.BackupOffset = f.BackupOffset;
        v.BootSector = CopyAgrees(start, f.MainOffset, f);
        v.Backup = f.BackupOffset != 0 && CopyAgrees(start, f.BackupOffset, f);
        uint8_t s[512];
        v.Structure = start <= UINT64_MAX - f.StructureOffset && disk_.ReadExact(start + f.StructureOffset, s, sizeof s) &&
                      StructureLooksRight(f, ByteSpan(s, sizeof s));
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
    using TKey = std::tuple<uint64_t, int, uint64_t, uint64_t>;
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
// ending the previous volume), its boot sector, its ext superblock and its FAT32 backup
// boot sector.
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
                for (uint64_t at : {boot, boot + 2, boot + 6, boot - 1}) {
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
                if (IsBootCandidate(p) || IsExtCandidate(p)) s.Examine(at + i, ByteSpan(p, kSector));
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

std::optional<TBootFacts> ReadBootSectorFacts(ByteSpan sector) {
    if (sector.size() < 512) return {};
    if (auto f = NtfsFacts(sector)) return f;
    if (auto f = ExFatFacts(sector)) return f;
    return FatFacts(sector);
}

std::optional<TBootFacts> ReadExtSuperblockFacts(ByteSpan sb) {
    if (sb.size() < 1024 || ReadLe16(sb, 56) != 0xEF53) return {};
    const uint32_t logBlock = ReadLe32(sb, 24);
    if (logBlock > 6) return {};
    const uint64_t bs = uint64_t{1024} << logBlock;
    const uint64_t perGroup = ReadLe32(sb, 32);
    const uint64_t firstData = ReadLe32(sb, 20);
    const uint32_t incompat = ReadLe32(sb, 96);
    uint64_t blocks = ReadLe32(sb, 4);
    if ((incompat & 0x80) != 0) blocks |= static_cast<uint64_t>(ReadLe32(sb, 0x150)) << 32;
    const uint64_t group = ReadLe16(sb, 90);
    if (perGroup == 0 || perGroup > 8 * bs || ReadLe32(sb, 40) == 0 || ReadLe32(sb, 0) == 0 ||
        firstData != (bs == 1024 ? 1u : 0u) || ReadLe32(sb, 76) > 1 || blocks <= firstData || blocks >= kMaxVolumeBytes / bs)
        return {};
    const uint64_t groups = (blocks - firstData + perGroup - 1) / perGroup;
    if (group >= groups) return {};
    TBootFacts f;
    f.Family = TSearchFamily::Ext;
    f.BytesPerSector = static_cast<uint32_t>(bs);  // the unit of its sizes: a block
    f.LengthBytes = blocks * bs;
    f.MainOffset = 1024;
    f.SelfOffset = group == 0 ? 1024 : (group * perGroup + firstData) * bs;
    // Group 1 always holds a backup, unless the volume names its two backup groups.
    uint64_t backupGroup = groups > 1 ? 1 : 0;
    if ((ReadLe32(sb, 92) & 0x200) != 0) backupGroup = ReadLe32(sb, 0x24C);
    if (backupGroup >= groups) backupGroup = 0;
    f.BackupOffset = backupGroup == 0 ? 0 : (backupGroup * perGroup + firstData) * bs;
    f.StructureOffset = (firstData + 1) * bs;
    f.Serial = ReadLe64(sb, 104);
    return f;
}

bool StructureLooksRight(const TBootFacts& f, ByteSpan b) {
    switch (f.Family) {
        case TSearchFamily::Ntfs: return TextAt(b, 0, "FILE");
        case TSearchFamily::ExFat: return ReadLe32(b, 0) == 0xFFFFFFF8;
        case TSearchFamily::Fat: return ReadU8(b, 0) == f.Media && ReadU8(b, 1) == 0xFF;
        case TSearchFamily::Ext: {
            // The first group's block bitmap, inode bitmap and inode table lie inside.
            const uint64_t blocks = f.LengthBytes / f.BytesPerSector;
            for (int64_t at : {0, 4, 8}) {
                const uint64_t block = ReadLe32(b, at);
                if (block == 0 || block >= blocks) return false;
            }
            return true;
        }
    }
    return false;
}

std::string TFoundVolume::Evidence() const {
    const std::string primary = Family == TSearchFamily::Ext ? "superblock" : "boot sector";
    const std::string backup = Family == TSearchFamily::Ext ? "backup superblock" : "backup boot sector";
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
