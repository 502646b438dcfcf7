#include "fat32/Fat32Walk.h"
#include "fat32/FatFreeSpace.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>

#include "core/FsDetect.h"
#include "core/TextFormat.h"
#include "fat32/FatLongName.h"
#include "filters/Masks.h"
#include "filters/NoiseFilter.h"
#include "platform/CodePages.h"
#include "filters/Wildcard.h"
#include "platform/Ticks.h"

namespace brivo {

namespace {

const char* BoolText(bool b) { return b ? "True" : "False"; }
std::string Quoted(const std::string& s) { return "\"" + s + "\""; }
std::string N(int64_t v) { return std::to_string(v); }

std::string ChildPath(const std::string& parent, const std::string& name) {
    return parent.empty() ? "/" + name : parent + "/" + name;
}

// A text written for FAT32 (and translated as such) naming the volume's own FAT width.
std::string KindText(const TFat32Volume& vol, std::string text) { return FatWidthText(FatKindName(vol), std::move(text)); }

// The "." entry: name bytes "." and ten spaces, directory attribute.
bool StartsWithDotEntry(const std::vector<uint8_t>& data) {
    if (data.size() < kDirEntrySize || data[0] != kEntryDot || !(data[11] & kAttrDirectory)) return false;
    for (size_t i = 1; i < 11; ++i)
        if (data[i] != ' ') return false;
    return true;
}

ByteSpan EntryAt(const TFatDirData& dir, size_t index) {
    return ByteSpan(dir.Data).subspan(index * kDirEntrySize, kDirEntrySize);
}

} // namespace

TClusterCondition FatContiguousCondition(TFat32Volume& vol, uint32_t first, int64_t size,
                                         const std::function<std::string(const std::string&)>& translate) {
    int64_t tested = 0, used = 0;
    bool sampled = false;
    if (first >= 2 && size > 0 && vol.BytesPerCluster > 0) {
        const uint64_t count = (static_cast<uint64_t>(size) + vol.BytesPerCluster - 1) / vol.BytesPerCluster;
        for (uint64_t i = 0; i < count; ++i) {
            if (tested == kConditionSampleClusters) {
                sampled = true;
                break;
            }
            const uint64_t c = uint64_t{first} + i;
            // Past the volume there is nothing to test (nor to recover).
            if (c >= vol.ClusterLimit) break;
            ++tested;
            if (ReadFatEntry(vol, static_cast<uint32_t>(c)) != 0) ++used;
        }
    }
    return ConditionFromReuse(tested, used, sampled, translate);
}

std::string FatMetaAddress(const TFat32ScanState& state, int64_t entryOffset) {
    return std::to_string((entryOffset - FatAddressBase(state.Volume)) / static_cast<int64_t>(kDirEntrySize) + 3);
}

// Whether a file entry's numbers could describe content on this volume: a file with bytes
// has a first cluster on the volume and a size the whole data area could hold. Anything else
// (a slot of another kind read as a file, a name slot left behind) is not a file that was
// ever there, and copying it would give nothing or someone else's bytes.
bool CouldHoldContent(const TFat32Volume& vol, const TFatDirItem& item) {
    if (item.SizeBytes == 0) return true;
    if (!IsDataCluster(vol, item.StartCluster)) return false;
    const uint64_t dataBytes = uint64_t{vol.ClusterLimit - 2} * vol.BytesPerCluster;
    return static_cast<uint64_t>(item.SizeBytes) <= dataBytes;
}

void AddFatResult(TFat32ScanState& state, const std::string& parentPath, const TFatDirItem& item, TFoundBy foundBy) {
    NoteDeletedEntry(state, item);
    if (item.Name.empty() || IsDotName(item.Name)) return;
    if (item.Attr & (kAttrVolumeLabel | kAttrDirectory)) return;
    if (!item.IsDeleted || !CouldHoldContent(state.Volume, item)) return;
    const std::string path = ChildPath(parentPath, item.Name);
    const std::string inode = FatMetaAddress(state, item.EntryOffset);
    std::string key;
    key.reserve(item.Name.size() + inode.size() + path.size() + 2);
    key += item.Name;
    key += '|';
    key += inode;
    key += '|';
    key += path;
    if (!state.SeenKeys.insert(LowerAscii(std::move(key))).second) return;
    if (state.Options.Deep && item.SizeBytes > 0 && IsDataCluster(state.Volume, item.StartCluster))
        state.Result.KnownStarts.push_back(static_cast<uint64_t>(ClusterToOffset(state.Volume, item.StartCluster)));
    // Empty files and system folders are noise; files whose folder is lost are not. Empty
    // files only in a search for everything: masks the user typed ask for exactly the
    // files they match, empty ones too.
    if (state.Options.Cleanup && ((item.SizeBytes == 0 && IsDefaultMaskList(state.Options.Masks)) ||
                                  IsSystemAreaPath(path, TScanWhere::swDisk))) {
        ++state.Result.HiddenByCleanup;
        return;
    }
    if (!state.Options.Masks.empty() && !MatchesAnyMask(path, state.Options.Masks)) {
        ++state.Result.HiddenByMasks;
        return;
    }

    TFoundFile f;
    f.Inode = inode;
    f.FullPath = path;
    f.IsDeleted = true;
    f.FileType = "r/r";
    f.IsDir = false;
    f.SizeBytes = item.SizeBytes;
    f.ModDateUtc = item.HasModDate ? item.ModDateUtc : 0;
    f.HasModDate = item.HasModDate;
    f.CreateDateUtc = item.HasCreateDate ? item.CreateDateUtc : 0;
    f.HasCreateDate = item.HasCreateDate;
    f.FoundBy = foundBy;
    if (item.SizeBytes == 0) {
        // Nothing to lose: the copy is the whole file.
        f.DamageText = state.Log.Translate("Excellent");
        f.DamageScore = 100;
    } else {
        const TClusterCondition c = FatContiguousCondition(state.Volume, item.StartCluster, item.SizeBytes,
                                                           [&state](const std::string& t) { return state.Log.Translate(t); });
        f.DamageText = c.Text;
        f.DamageScore = c.Score;
    }
    state.Result.Found.push_back(std::move(f));
}

void DecodeDirectoryEntries(TFat32ScanState& state, const std::string& parentPath, const TFatDirData& dir,
                            bool parentDeleted, std::vector<TFatChildDir>* childDirs) {
    TFat32Log& log = state.Log;
    const bool dbg = log.DebugEnabled();
    TFatLongNameState ln;
    const size_t count = dir.Data.size() / kDirEntrySize;
    for (size_t i = 0; i < count; ++i) {
        const ByteSpan e = EntryAt(dir, i);
        const uint8_t b = e[0];
        const uint8_t attr = e[11];
        // The entry's own position, from the cluster it was read from: a fragmented
        // directory's later clusters do not follow its first one on the volume.
        const int64_t entryOffset = dir.EntryOffset(i);
        if (b == kEntryEnd) break;
        if (b == kEntryDot) {
            ResetLongName(ln);
            continue;
        }
        if (attr == kAttrLongName) {
            AddLongNameEntry(ln, e);
            if (dbg && (parentDeleted || b == kEntryDeleted || ln.DeletedLfnSeen)) {
                const TLfnPart part = LfnEntryPart(e);
                if (!part.Empty()) LogLfnEntry(log, parentPath, i, entryOffset, e, part);
            }
            continue;
        }
        if (attr & kAttrVolumeLabel) {
            ResetLongName(ln);
            continue;
        }
        const bool deletedContext = parentDeleted || b == kEntryDeleted;
        const uint32_t start = EntryStartCluster(e);
        // Only folders with a first cluster can be walked into.
        const bool folder = childDirs && (attr & kAttrDirectory) && start >= 2;
        // A live file of a live directory is never a result; its name is not needed.
        if (!deletedContext && !folder) {
            ResetLongName(ln);
            continue;
        }
        const TResolvedName name = ResolveEntryName(ln, e, deletedContext);
        if (dbg && deletedContext) LogFileEntry(log, parentPath, i, entryOffset, e, ln, name);
        ResetLongName(ln);
        if (name.Name.empty()) continue;
        if (folder && !IsDotName(name.Name))
            childDirs->push_back({name.Name, start, int64_t{ReadLe32(e, 28)}, i, attr, b == kEntryDeleted, FatBirthStamp(e)});
        if (deletedContext) AddFatResult(state, parentPath, MakeFatDirItem(e, name.Name, entryOffset, parentDeleted));
    }
}

void WalkFatDirectory(TFat32ScanState& state, const std::string& path, uint32_t cluster, bool deleted, int depth,
                      int64_t sizeHint) {
    if (state.Log.StopRequested() || depth > kFatMaxDepth || cluster < 2) return;
    if (!state.SeenKeys.insert("__DIR__" + LowerAscii(path) + "|" + N(cluster) + "|" + N(depth)).second) return;

    TFat32Volume& vol = state.Volume;
    TFat32Log& log = state.Log;
    const bool dbg = log.DebugEnabled();
    const bool allocated = IsClusterAllocated(vol, cluster);
    if (dbg)
        log.SafeLog("FAT32 DBG walk dir: path=" + Quoted(path) + " cluster=" + N(cluster) + " deleted=" + BoolText(deleted) +
                    " depth=" + N(depth) + " size_hint=" + N(sizeHint) + " allocated=" + BoolText(allocated));
    // The first cluster of a deleted folder in use again holds someone else's data now.
    if (deleted && allocated) {
        if (dbg) log.SafeLog("FAT32 DBG skip deleted dir: path=" + Quoted(path) + " cluster=" + N(cluster) + " reason=reallocated");
        NoteUnreadFolder(state, path, cluster, deleted);
        return;
    }
    if (state.DirClusters.count(cluster)) {
        if (dbg) log.SafeLog("FAT32 DBG skip dir: path=" + Quoted(path) + " cluster=" + N(cluster) + " reason=already-read");
        return;
    }
    TFatDirData dir;
    if (!ReadDirectoryClusters(vol, log, cluster, sizeHint, deleted, dir, &state.DirClusters)) {
        if (dbg)
            log.SafeLog("FAT32 DBG walk dir read failed: path=" + Quoted(path) + " cluster=" + N(cluster) +
                        " deleted=" + BoolText(deleted) + " size_hint=" + N(sizeHint));
        NoteUnreadFolder(state, path, cluster, deleted);
        return;
    }
    state.DirClusters.insert(cluster);
    // Deleting a folder leaves its "." entry in place. A free cluster that no longer starts
    // with one has been reused (and freed again) since: its bytes are someone else's data,
    // and decoding them as entries would list garbage.
    if (deleted && !StartsWithDotEntry(dir.Data)) {
        if (dbg)
            log.SafeLog("FAT32 DBG skip deleted dir: path=" + Quoted(path) + " cluster=" + N(cluster) +
                        " reason=not-a-directory");
        NoteUnreadFolder(state, path, cluster, deleted);
        return;
    }
    if (dbg)
        log.SafeLog("FAT32 DBG walk dir read ok: path=" + Quoted(path) + " cluster=" + N(cluster) +
                    " bytes=" + N(static_cast<int64_t>(dir.Data.size())) + " deleted=" + BoolText(deleted));
    NoteWalkedDir(state, path, dir, deleted);
    WalkDirectoryData(state, path, dir, deleted, depth);
}

void WalkDirectoryData(TFat32ScanState& state, const std::string& path, const TFatDirData& dir, bool deleted, int depth) {
    TFat32Volume& vol = state.Volume;
    TFat32Log& log = state.Log;
    const bool dbg = log.DebugEnabled();
    std::vector<TFatChildDir> children;
    DecodeDirectoryEntries(state, path, dir, deleted, &children);

    for (const TFatChildDir& c : children) {
        // A folder inside a deleted folder is gone with it, whether or not its own entry
        // was marked: it is read as a deleted folder (free first cluster, "." entry).
        const bool childDeleted = c.Deleted || deleted;
        if (childDeleted) {
            state.DeletedDirClusters.insert(c.Start);
        } else if (state.DeletedDirClusters.count(c.Start) && state.DirClusters.count(c.Start)) {
            // Only an alias whose deleted twin was actually read is a repeat. When the deleted
            // twin was skipped because its cluster is in use, this live entry is the folder
            // (renamed or moved in place) and its deleted files must still be listed.
            if (dbg)
                log.SafeLog("FAT32 DBG skip live dir alias: parent=" + Quoted(path) + " idx=" + N(int64_t(c.Index)) + " name=" +
                            Quoted(c.Name) + " start=" + N(c.Start) + " reason=deleted-alias-for-same-cluster");
            continue;
        }
        const std::string child = ChildPath(path, c.Name);
        if (dbg)
            log.SafeLog("FAT32 DBG dir candidate: parent=" + Quoted(path) + " child=" + Quoted(child) + " idx=" + N(int64_t(c.Index)) +
                        " deleted=" + BoolText(childDeleted) + " start=" + N(c.Start) + " size=" + N(c.Size) +
                        " allocated=" + BoolText(IsClusterAllocated(vol, c.Start)) + " attr=" + Hex2(c.Attr));
        if (!childDeleted) NoteLiveFolderOrigin(state, path, dir, c.Start, c.Stamp);
        WalkFatDirectory(state, child, c.Start, childDeleted, depth + 1, c.Size);
    }

    const uint64_t now = GetTickCount64();
    if (now - state.LastProgressTick > kFatProgressIntervalMs) {
        state.LastProgressTick = now;
        log.SafeProgress(0, 0, Format(KindText(vol, log.Translate("Scanning FAT32 directories... found %d files")),
                                      {static_cast<int64_t>(state.Result.Found.size())}));
    }
}

TReaderResult RunFat32Scan(TFat32Log& log, TFat32Volume volume, const TReaderOptions& options) {
    // A mask the matcher cannot use ends the scan before any work, whatever the volume holds.
    if (!options.Masks.empty()) ValidateMasks(options.Masks);
    TFat32ScanState state(std::move(volume), log, options);
    log.SafeProgress(0, 0, KindText(state.Volume, log.Translate("Scanning FAT32 directories...")));
    if (log.DebugEnabled())
        log.SafeLog(KindText(state.Volume, "FAT32 DBG short names: OEM code page ") + N(OemCodePage()) + " (" +
                    OemCodePageSource() + ")");
    if (state.Volume.RootCluster) {
        WalkFatDirectory(state, "", state.Volume.RootCluster, false, 0, 0);
    } else {
        TFatDirData root;
        if (ReadRootRegion(state.Volume, root)) {
            WalkDirectoryData(state, "", root, false, 0);
        } else if (log.DebugEnabled()) {
            log.SafeLog("FAT32 DBG walk dir read failed: path=\"\" root region");
        }
    }
    FinishFatLostData(state);
    if (options.Deep) {
        state.Result.FreeAreas = FatFreeAreas(state.Volume);
        state.Result.FreeAreasKnown = true;
    }
    const int64_t found = static_cast<int64_t>(state.Result.Found.size());
    log.SafeLog(KindText(state.Volume, "Fast FAT32 scan complete: found=") + N(found));
    log.SafeProgress(0, 0, Format(KindText(state.Volume, log.Translate("Preparing FAT32 results... Found %d files.")), {found}));
    return std::move(state.Result);
}

} // namespace brivo
