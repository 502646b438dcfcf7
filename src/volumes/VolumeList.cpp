#include "volumes/VolumeList.h"

#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>

#include "core/ScanState.h"
#include "core/TextFormat.h"
#include "volumes/Crc32.h"
#include "volumes/VolumeSearch.h"

namespace brivo {

namespace {

// A volume whose first boot sector is gone, read with its backup copy in that place.
class TPatchedByteSource : public TByteSource {
public:
    TPatchedByteSource(TByteSourcePtr parent, uint64_t at, std::vector<uint8_t> patch)
        : parent_(std::move(parent)), at_(at), patch_(std::move(patch)) {}
    uint64_t Size() const override { return parent_->Size(); }
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override {
        const int64_t got = parent_->ReadAt(offset, buf, n);
        if (got <= 0) return got;
        const uint64_t end = offset + static_cast<uint64_t>(got);
        const uint64_t from = std::max(offset, at_);
        const uint64_t to = std::min(end, at_ + patch_.size());
        if (from < to) std::memcpy(static_cast<uint8_t*>(buf) + (from - offset), patch_.data() + (from - at_), to - from);
        return got;
    }
    const std::string& Name() const override { return parent_->Name(); }
    std::string LastError() const override { return parent_->LastError(); }

private:
    TByteSourcePtr parent_;
    uint64_t at_;
    std::vector<uint8_t> patch_;
};

// Space no partition covers, in bytes, past the table's own first sector.
std::vector<TSpanRange> Uncovered(const TSourceVolumes& s) {
    std::vector<std::pair<uint64_t, uint64_t>> used;
    for (const auto& v : s.Volumes) {
        if (v.SectorCount == 0 || v.StartSector > s.DiskSize / s.SectorSize) continue;
        const uint64_t end = std::min(v.StartSector + v.SectorCount, s.DiskSize / s.SectorSize);
        used.emplace_back(v.StartSector * s.SectorSize, end * s.SectorSize);
    }
    std::sort(used.begin(), used.end());
    std::vector<TSpanRange> gaps;
    uint64_t at = s.SectorSize;
    for (const auto& [b, e] : used) {
        if (b > at) gaps.push_back({at, b});
        at = std::max(at, e);
    }
    if (at < s.DiskSize) gaps.push_back({at, s.DiskSize});
    return gaps;
}

bool Overlaps(const TVolume& a, const TVolume& b) {
    return a.SectorCount != 0 && b.SectorCount != 0 && a.StartSector < b.StartSector + b.SectorCount &&
           b.StartSector < a.StartSector + a.SectorCount;
}

// Adds what the search found, numbered after the table's volumes. Of found volumes that
// overlap, the one whose size and backup agree best stays; the others are alternatives.
void AddFound(TSourceVolumes& s, const std::vector<TFoundVolume>& found) {
    const size_t tableCount = s.Volumes.size();
    uint32_t next = 1;
    for (const auto& v : s.Volumes) next = std::max(next, v.Index + 1);
    const uint64_t diskSectors = s.DiskSize / s.SectorSize;
    std::vector<int> scores;
    for (const auto& f : found) {
        TVolume v;
        v.Index = next++;
        v.StartSector = f.StartByte / s.SectorSize;
        v.SectorCount = (f.LengthBytes + s.SectorSize - 1) / s.SectorSize;
        v.SizeBytes = f.LengthBytes;
        v.FoundBySearch = true;
        v.Evidence = f.Evidence();
        if (!f.BootSector) {
            v.BootCopyFrom = f.BackupOffset;
            v.BootCopyTo = f.MainOffset;
            v.BootCopyBytes = static_cast<uint32_t>(f.CopyBytes);
        }
        if (v.StartSector >= diskSectors || v.SectorCount > diskSectors - v.StartSector) {
            v.Readable = false;
            v.Problem = "ends past the end of the source (the image is cut short, or the volume was larger)";
        }
        if (v.Readable) {
            try {
                v.Fs = ProbeFileSystem(*OpenVolumeSource(s, v));
            } catch (const std::exception&) {
                v.Readable = false;
                v.Problem = "cannot be read";
            }
        }
        if (v.Fs.Name.empty() && f.Fs) v.Fs.Name = f.Fs->Name;
        s.Volumes.push_back(std::move(v));
        scores.push_back(f.Score());
    }
    for (size_t i = tableCount; i < s.Volumes.size(); ++i) {
        TVolume& v = s.Volumes[i];
        size_t best = i;
        for (size_t j = tableCount; j < s.Volumes.size(); ++j) {
            if (j == i || !Overlaps(v, s.Volumes[j])) continue;
            const int sj = scores[j - tableCount];
            const int sb = scores[best - tableCount];
            if (sj > sb || (sj == sb && j < best)) best = j;
        }
        if (best != i) {
            v.AlternativeTo = s.Volumes[best].Index;
            if (v.Problem.empty()) v.Problem = Format("alternative to volume %d, which overlaps it", {v.AlternativeTo});
        }
        for (size_t j = 0; j < tableCount && v.Problem.empty(); ++j)
            if (Overlaps(v, s.Volumes[j])) v.Problem = Format("overlaps volume %d", {s.Volumes[j].Index});
    }
}

// On a disk whose table is lost, the space between the volumes found may hold one whose
// boot sectors are gone too: each stretch of more than 1 MiB is listed, so a deep scan can
// search it for lost NTFS records and for files by their content.
void AddUnallocated(TSourceVolumes& s) {
    constexpr uint64_t kLeastGap = 1024 * 1024;
    uint32_t next = 1;
    for (const auto& v : s.Volumes) next = std::max(next, v.Index + 1);
    for (const TSpanRange& gap : Uncovered(s)) {
        const uint64_t begin = (gap.Begin + s.SectorSize - 1) / s.SectorSize;
        const uint64_t end = gap.End / s.SectorSize;
        if (end <= begin || (end - begin) * s.SectorSize <= kLeastGap) continue;
        TVolume v;
        v.Index = next++;
        v.StartSector = begin;
        v.SectorCount = end - begin;
        v.SizeBytes = v.SectorCount * s.SectorSize;
        v.FoundBySearch = true;
        v.Unallocated = true;
        v.Evidence = "space no volume found covers";
        v.Fs = ProbeFileSystem(*OpenVolumeSource(s, v));
        s.Volumes.push_back(std::move(v));
    }
}

void Search(TSourceVolumes& s, const std::vector<TSpanRange>& ranges, TSearchDepth depth, const TSearchProgress& progress) {
    if (depth == TSearchDepth::None) return;
    s.Searched = true;
    s.SearchDepth = depth;
    TSearchOutcome o = SearchVolumes(*s.Disk, ranges, depth, s.SectorSize, progress);
    s.SearchStopped = o.Stopped;
    AddFound(s, o.Volumes);
}

// Search findings by source, for the process's life: listing a source again to scan one
// of the volumes it found must not search again, nor find something else.
struct TSearchMemo {
    std::mutex Lock;
    std::map<std::string, TSourceVolumes> Lists;
};

TSearchMemo& Memo() {
    static TSearchMemo memo;
    return memo;
}

// The file's identity and times, and a checksum of where tables live (a device's times
// do not change when a tool writes a new table to it).
std::string MemoKey(const std::string& path, TByteSource& disk) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return {};
    constexpr size_t kTableBytes = 34 * 512;
    std::vector<uint8_t> ends(2 * kTableBytes, 0);
    const uint64_t size = disk.Size();
    (void)disk.ReadAt(0, ends.data(), kTableBytes);
    (void)disk.ReadAt(size > kTableBytes ? size - kTableBytes : 0, ends.data() + kTableBytes, kTableBytes);
    return Format("%s|%d|%d|%d|%d|%d|%d", {path, size, static_cast<uint64_t>(st.st_mtim.tv_sec),
                                           static_cast<uint64_t>(st.st_mtim.tv_nsec), static_cast<uint64_t>(st.st_ino),
                                           static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(Crc32(ends))});
}

std::string VolumeListText(const TSourceVolumes& src) {
    std::string s;
    for (const auto& v : src.Volumes) s += "\n  " + DescribeVolume(v, src.SectorSize);
    return s;
}

} // namespace

TSourceVolumes ListVolumes(const std::string& path, TSearchDepth depth, const TSearchProgress& progress) {
    TOpenedContainer c = OpenContainer(path);
    const std::string key = MemoKey(path, *c.Disk);
    if (!key.empty()) {
        std::lock_guard<std::mutex> hold(Memo().Lock);
        auto it = Memo().Lists.find(key);
        if (it != Memo().Lists.end() && (depth != TSearchDepth::EverySector || it->second.SearchDepth == depth)) {
            TSourceVolumes s = it->second;
            s.Disk = c.Disk;
            return s;
        }
    }
    TSourceVolumes s = ListVolumesOf(c.Disk, c.Kind, depth, progress);
    s.Source = path;
    s.ContainerFormat = c.Format;
    s.ReopenDisk = [path] { return OpenContainer(path).Disk; };
    const bool foundSome = std::any_of(s.Volumes.begin(), s.Volumes.end(), [](const TVolume& v) { return v.FoundBySearch; });
    if (!key.empty() && s.Searched && !s.SearchStopped && (foundSome || depth == TSearchDepth::EverySector)) {
        std::lock_guard<std::mutex> hold(Memo().Lock);
        if (Memo().Lists.size() >= 32) Memo().Lists.clear();
        TSourceVolumes kept = s;
        kept.Disk.reset();
        Memo().Lists[key] = std::move(kept);
    }
    return s;
}

namespace {

// A file system whose boot sector or superblock says it is longer than what holds it: an
// image that was cut short (a copy stopped early, a download that ended) or a partition
// entry smaller than its volume. Its readers read what is there; the user is told that the
// rest is missing, not shown the shorter size as if it were the volume's.
void NoteCutShort(TByteSource& volume, TVolume& v, bool wholeSource) {
    uint8_t head[kDetectBytes] = {};
    const int64_t got = volume.ReadAt(0, head, sizeof head);
    if (got < 512) return;
    const std::optional<TVolumeFacts> f = ReadVolumeFacts(ByteSpan(head, static_cast<size_t>(got)));
    if (!f || f->LengthBytes <= v.SizeBytes) return;
    v.FsLengthBytes = f->LengthBytes;
    const std::string shown = Format(wholeSource ? "cut short: the source ends after %s of its %s" : "shorter than its file system: %s of %s",
                                     {SizeText(v.SizeBytes), SizeText(f->LengthBytes)});
    v.Problem = v.Problem.empty() ? shown : v.Problem + "; " + shown;
}

} // namespace

std::string CutShortWarning(const TSourceVolumes& src, const TVolume& v) {
    if (v.FsLengthBytes <= v.SizeBytes) return {};
    const std::string fs = v.Fs.Name.empty() ? std::string("file system") : v.Fs.Name;
    const bool whole = !VolumeIsSlice(src, v);
    const std::string tail = "Only what lies in that part can be found and recovered.";
    if (whole)
        return Format("The source ends before its %s volume does: %s of its %s are there (the image is cut short). %s",
                      {fs, SizeText(v.SizeBytes), SizeText(v.FsLengthBytes), tail});
    return Format("Volume %d is shorter than its %s file system: %s of its %s are there (the partition entry or the "
                  "image is cut short). %s",
                  {v.Index, fs, SizeText(v.SizeBytes), SizeText(v.FsLengthBytes), tail});
}

TSourceVolumes ListVolumesOf(TByteSourcePtr disk, TContainerKind container, TSearchDepth depth,
                             const TSearchProgress& progress) {
    TSourceVolumes s;
    s.Source = disk->Name();
    s.Container = container;
    s.ContainerFormat = ContainerKindName(container);
    s.DiskSize = disk->Size();
    s.Disk = disk;
    TPartitionTable t = ReadPartitionTable(*disk);
    s.Scheme = t.Scheme;
    s.SectorSize = t.SectorSize;
    s.Problems = std::move(t.Problems);
    bool backupTable = false;
    if (t.Scheme == TPartitionScheme::None) {
        TVolume v;
        v.SectorCount = s.DiskSize / 512;
        v.SizeBytes = s.DiskSize;
        v.Fs = ProbeFileSystem(*disk);
        if (!v.Fs.Name.empty()) {
            NoteCutShort(*disk, v, true);
            if (v.FsLengthBytes != 0) s.Problems.push_back(CutShortWarning(s, v));
            // A file system at the first byte is the source's one volume: no table was lost,
            // and what a search would find inside it are that volume's own backups and
            // images stored as files in it, taken for volumes.
            if (depth == TSearchDepth::EverySector)
                s.SearchNote = Format("not run: the source holds one %s volume from its first byte, so no partition "
                                      "table was lost. \"scan --deep\" searches that volume for lost files.",
                                      {v.Fs.Name});
            s.Volumes.push_back(std::move(v));
            return s;
        }
        // Nothing at the start: a table that was wiped, perhaps with its volumes intact.
        TPartitionTable backup = ReadBackupGpt(*disk);
        if (backup.Scheme == TPartitionScheme::None) {
            Search(s, {{s.SectorSize, s.DiskSize}}, depth, progress);
            if (s.Volumes.empty()) s.Volumes.push_back(std::move(v));
            else AddUnallocated(s);
            return s;
        }
        t = std::move(backup);
        backupTable = true;
        s.Scheme = t.Scheme;
        s.SectorSize = t.SectorSize;
        s.Problems = std::move(t.Problems);
    }
    for (auto& p : t.Partitions) {
        TVolume v;
        v.Index = p.Number;
        v.StartSector = p.StartSector;
        v.SectorCount = p.SectorCount;
        v.SizeBytes = p.SectorCount * s.SectorSize;
        v.Type = std::move(p.Type);
        v.TypeName = std::move(p.TypeName);
        v.Name = std::move(p.Name);
        v.Readable = p.Readable;
        v.Problem = std::move(p.Problem);
        if (backupTable) {
            v.FoundBySearch = true;
            v.Evidence = "GPT backup header";
        }
        if (v.Readable) {
            TByteSourcePtr slice = OpenVolumeSource(s, v);
            v.Fs = ProbeFileSystem(*slice);
            if (!v.Fs.Name.empty()) NoteCutShort(*slice, v, false);
        }
        if (v.FsLengthBytes != 0) s.Problems.push_back(CutShortWarning(s, v));
        s.Volumes.push_back(std::move(v));
    }
    Search(s, Uncovered(s), depth, progress);
    return s;
}

bool VolumeIsSlice(const TSourceVolumes& src, const TVolume& v) {
    return src.Scheme != TPartitionScheme::None || v.FoundBySearch;
}

const TVolume& ChooseVolume(const TSourceVolumes& src, uint32_t index) {
    if (src.Volumes.empty()) {
        std::string msg = src.Source + " holds a partition table (" + PartitionSchemeName(src.Scheme) + ") with no volumes.";
        for (const auto& p : src.Problems) msg += "\n" + p;
        throw TVolumeChoiceError(msg);
    }
    if (index == 0) {
        if (src.Volumes.size() == 1) return src.Volumes.front();
        const TVolume* only = nullptr;
        size_t scannable = 0;
        for (const auto& v : src.Volumes) {
            if (v.Scannable() && v.AlternativeTo == 0) {
                ++scannable;
                only = &v;
            }
        }
        if (scannable == 1) return *only;
        throw TSeveralVolumesError(
            Format("%s holds %d volumes. Choose the one to scan:", {src.Source, src.Volumes.size()}) + VolumeListText(src));
    }
    for (const auto& v : src.Volumes) {
        if (v.Index != index) continue;
        if (!v.Readable)
            throw TVolumeChoiceError(Format("Volume %d of %s %s.", {index, src.Source, v.Problem}));
        return v;
    }
    throw TNoSuchVolumeError(Format("%s has no volume %d. Its volumes:", {src.Source, index}) + VolumeListText(src));
}

TByteSourcePtr OpenVolumeSource(const TSourceVolumes& src, const TVolume& v) {
    if (!VolumeIsSlice(src, v)) return src.Disk;
    if (!v.Readable) throw std::runtime_error(Format("Volume %d of %s %s.", {v.Index, src.Source, v.Problem}));
    TByteSourcePtr slice = MakeSliceByteSource(src.Disk, v.StartSector * src.SectorSize, v.SectorCount * src.SectorSize,
                                               Format("%s, volume %d", {src.Source, v.Index}));
    if (v.BootCopyBytes == 0) return slice;
    std::vector<uint8_t> copy(v.BootCopyBytes);
    if (!slice->ReadExact(v.BootCopyFrom, copy.data(), copy.size())) return slice;
    return std::make_shared<TPatchedByteSource>(slice, v.BootCopyTo, std::move(copy));
}

TByteSourcePtr ReopenVolumeSource(const TSourceVolumes& src, const TVolume& v) {
    TSourceVolumes fresh;
    fresh.Source = src.Source;
    fresh.Scheme = src.Scheme;
    fresh.SectorSize = src.SectorSize;
    fresh.Disk = src.ReopenDisk ? src.ReopenDisk() : src.Disk;
    return OpenVolumeSource(fresh, v);
}

std::string DescribeVolume(const TVolume& v, uint32_t sectorSize,
                           const std::function<std::string(const std::string&)>& translate) {
    const auto tr = [&](const std::string& s) { return translate ? translate(s) : s; };
    std::string s = Format("%d  %s  %s", {v.Index, v.Fs.Name.empty() ? tr("unknown file system") : v.Fs.Name,
                                          SizeText(v.SizeBytes)});
    if (!v.TypeName.empty()) s += "  " + v.TypeName;
    else if (!v.Type.empty()) s += "  " + Format(tr("type %s"), {v.Type});
    if (!v.Name.empty()) s += "  \"" + v.Name + "\"";
    if (v.Unallocated) s += "  " + tr("unallocated space");
    else if (v.FoundBySearch) s += "  " + Format(tr("found by search (%s)"), {tr(v.Evidence)});
    if ((!v.Type.empty() || v.FoundBySearch) && v.SectorCount > 0) {
        s += "  (" + Format(tr("sectors %d-%d"), {v.StartSector, v.StartSector + v.SectorCount - 1});
        if (sectorSize != 512) s += " " + Format(tr("of %d bytes"), {sectorSize});
        s += ")";
    }
    if (!v.Problem.empty()) s += "  [" + v.Problem + "]";
    return s;
}

std::vector<std::string> EngineVolumeArgs(const TSourceVolumes& src, const TVolume& v) {
    const std::string type = EngineImageType(src.Container);
    if (!EngineReadsContainer(src.Container))
        throw std::runtime_error("The engine tools cannot read " + src.ContainerFormat + " images, and " +
                                 (v.Fs.Name.empty() ? std::string("the file system of this volume")
                                                    : "the " + v.Fs.Name + " file system") +
                                 " is read only by them. Convert the image to a raw one first, for example "
                                 "with: qemu-img convert -O raw " + src.Source + " disk.img");
    const uint64_t offset512 = VolumeIsSlice(src, v) ? v.StartSector * (src.SectorSize / 512) : 0;
    return EngineVolumeArgs(src.Container == TContainerKind::Raw ? std::string() : type, offset512);
}

std::string SizeText(uint64_t bytes) {
    static const char* units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB"};
    if (bytes < 1024) return Format("%d B", {bytes});
    double v = static_cast<double>(bytes);
    int u = 0;
    while (v >= 1024 && u < 5) {
        v /= 1024;
        ++u;
    }
    char buf[32];
    std::snprintf(buf, sizeof buf, "%.1f %s", v, units[u]);
    return buf;
}

} // namespace brivo
