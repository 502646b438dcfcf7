#include "fat32/Fat32Walk.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <memory>

#include "core/TextFormat.h"
#include "fat32/FatLongName.h"
#include "filters/SyntheticPath.h"
#include "filters/Wildcard.h"
#include "platform/Ticks.h"

namespace brivo {

namespace {

std::string LowerAscii(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

const char* BoolText(bool b) { return b ? "True" : "False"; }
std::string Quoted(const std::string& s) { return "\"" + s + "\""; }
std::string N(int64_t v) { return std::to_string(v); }

std::string ChildPath(const std::string& parent, const std::string& name) {
    return parent.empty() ? "/" + name : parent + "/" + name;
}

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

void AppendNum(std::string& out, int64_t v) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    out.append(buf, r.ptr);
}

void AppendQuoted(std::string& out, std::string_view s) {
    out += '"';
    out += s;
    out += '"';
}

void AppendRecordedPart(std::string& o, TRecordReader& r) {
    const size_t n = r.U8();
    const ByteSpan chars = r.Bytes(2 * n);
    std::u16string text(chars.size() / 2, u'\0');
    for (size_t k = 0; k < text.size(); ++k) text[k] = char16_t(chars[2 * k] | (chars[2 * k + 1] << 8));
    AppendUtf16AsUtf8(o, text);
}

void RecordPart(TRecordWriter& r, const TLfnPart& part) {
    r.U8(part.Length);
    for (size_t k = 0; k < part.Length; ++k) {
        r.U8(uint8_t(part.Chars[k]));
        r.U8(uint8_t(part.Chars[k] >> 8));
    }
}

// The lines written for every deleted entry are most of the debug log. The scan records
// only what they show; the log's writer thread builds the text.
void FormatLfnEntry(TDebugLineWriter& w, TRecordReader& r) {
    std::string& o = w.Begin();
    o += "lfn entry: parent=";
    AppendQuoted(o, r.Text());
    o += " idx=";
    AppendNum(o, int64_t(r.U64()));
    o += " off=";
    AppendNum(o, int64_t(r.U64()));
    const ByteSpan e = r.Bytes(kDirEntrySize);
    if (e.size() != kDirEntrySize) return w.End();
    o += " seq=";
    AppendHex2(o, e[0]);
    o += " seqnum=";
    AppendNum(o, e[0] & 0x1F);
    o += " chk=";
    AppendHex2(o, e[13]);
    o += " text=\"";
    AppendRecordedPart(o, r);
    o += "\" entry=";
    AppendHexBytes(o, e);
    w.End();
}

void LogLfnEntry(TFat32Log& log, const std::string& parentPath, size_t index, int64_t entryOffset, ByteSpan e,
                 const TLfnPart& part) {
    TRecordWriter& r = log.BeginRecord(FormatLfnEntry);
    r.Text(parentPath);
    r.U64(index);
    r.U64(uint64_t(entryOffset));
    r.Bytes(e);
    RecordPart(r, part);
    log.EndRecord();
}

void FormatFileEntry(TDebugLineWriter& w, TRecordReader& r) {
    const std::string_view parent = r.Text();
    const int64_t index = int64_t(r.U64());
    const int64_t offset = int64_t(r.U64());
    const ByteSpan e = r.Bytes(kDirEntrySize);
    const std::string_view shortName = r.Text();
    const std::string_view chosen = r.Text();
    const bool validLfn = r.U8();
    const uint8_t wantSeq = r.U8();
    const uint8_t checksum = r.U8();
    const bool deletedSeen = r.U8();
    if (e.size() != kDirEntrySize) return;
    std::vector<TLfnPart> parts(size_t(std::min<uint64_t>(r.U64(), uint64_t{1} << 20)));
    for (auto& p : parts) {
        p.Length = std::min<uint8_t>(r.U8(), 13);
        for (size_t k = 0; k < p.Length; ++k) {
            const uint8_t lo = r.U8();
            const uint8_t hi = r.U8();
            p.Chars[k] = char16_t(lo | (hi << 8));
        }
    }
    std::string& o = w.Begin();
    o += "file entry: parent=";
    AppendQuoted(o, parent);
    o += " idx=";
    AppendNum(o, index);
    o += " off=";
    AppendNum(o, offset);
    o += " deleted=True short=";
    AppendQuoted(o, shortName);
    o += " chosen=";
    AppendQuoted(o, chosen);
    o += " valid_lfn=";
    o += BoolText(validLfn);
    o += " wantseq=";
    AppendNum(o, wantSeq);
    o += " raw_parts=";
    AppendNum(o, int64_t(parts.size()));
    o += " raw_lfn=\"";
    AppendRawParts(o, parts, false);
    o += "\" deleted_lfn=\"";
    AppendRawParts(o, parts, true);
    o += "\" deleted_marker=";
    o += BoolText(deletedSeen);
    o += " chk=";
    AppendHex2(o, checksum);
    o += " attr=";
    AppendHex2(o, e[11]);
    o += " start=";
    AppendNum(o, EntryStartCluster(e));
    o += " size=";
    AppendNum(o, ReadLe32(e, 28));
    o += " entry=";
    AppendHexBytes(o, e);
    w.End();
    for (size_t k = 0; k < parts.size(); ++k) {
        std::string& p = w.Begin();
        p += "lfn raw part[";
        AppendNum(p, int64_t(k));
        p += "]: \"";
        AppendUtf16AsUtf8(p, parts[k].View());
        p += '"';
        w.End();
    }
}

void LogFileEntry(TFat32Log& log, const std::string& parentPath, size_t index, int64_t entryOffset, ByteSpan e,
                  const TFatLongNameState& ln, const TResolvedName& name) {
    TRecordWriter& r = log.BeginRecord(FormatFileEntry);
    r.Text(parentPath);
    r.U64(index);
    r.U64(uint64_t(entryOffset));
    r.Bytes(e);
    r.Text(name.Short);
    r.Text(name.Name);
    r.U8(name.ValidLfn);
    r.U8(ln.WantSeq);
    r.U8(ln.ExpectedChecksum);
    r.U8(ln.DeletedLfnSeen);
    r.U64(ln.RawParts.size());
    for (const auto& p : ln.RawParts) RecordPart(r, p);
    log.EndRecord();
}

} // namespace

std::string FatMetaAddress(const TFat32ScanState& state, int64_t entryOffset) {
    return std::to_string((entryOffset - state.Volume.DataOffset) / static_cast<int64_t>(kDirEntrySize) + 3);
}

void AddFatResult(TFat32ScanState& state, const std::string& parentPath, const TFatDirItem& item) {
    if (item.Name.empty() || IsDotName(item.Name)) return;
    if (item.Attr & (kAttrVolumeLabel | kAttrDirectory)) return;
    // A file without a first cluster (every empty file) has nothing to recover.
    if (item.StartCluster < 2 || !item.IsDeleted) return;
    const std::string path = ChildPath(parentPath, item.Name);
    if (IsSyntheticPath(path, state.Owner.FLastWhereMode)) return;
    if (!state.Masks.empty() && !MatchesAnyMask(path, state.Masks)) return;
    const std::string inode = FatMetaAddress(state, item.EntryOffset);
    std::string key;
    key.reserve(item.Name.size() + inode.size() + path.size() + 2);
    key += item.Name;
    key += '|';
    key += inode;
    key += '|';
    key += path;
    if (!state.SeenKeys.insert(LowerAscii(std::move(key))).second) return;

    TFoundFile f;
    f.Inode = inode;
    f.FullPath = path;
    f.IsDeleted = true;
    f.FileType = "r/r";
    f.IsDir = false;
    f.SizeBytes = item.SizeBytes;
    f.ModDateUtc = item.HasModDate ? item.ModDateUtc : 0;
    f.HasModDate = item.HasModDate;
    f.DamageText = "Unknown";
    f.DamageScore = -1;
    state.Results.push_back(std::move(f));
}

void DecodeDirectoryEntries(TFat32ScanState& state, const std::string& parentPath, const TFatDirData& dir,
                            bool parentDeleted) {
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
        // A live entry of a live directory is never a result; its name is not needed.
        if (!deletedContext) {
            ResetLongName(ln);
            continue;
        }
        const TResolvedName name = ResolveEntryName(ln, e, deletedContext);
        if (dbg) LogFileEntry(log, parentPath, i, entryOffset, e, ln, name);
        ResetLongName(ln);
        if (!name.Name.empty()) AddFatResult(state, parentPath, MakeFatDirItem(e, name.Name, entryOffset, parentDeleted));
    }
}

void WalkFatDirectory(TFat32ScanState& state, const std::string& path, uint32_t cluster, bool deleted, int depth,
                      int64_t sizeHint) {
    if (state.Owner.StopRequested() || depth > kFatMaxDepth || cluster < 2) return;
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
        return;
    }
    if (dbg)
        log.SafeLog("FAT32 DBG walk dir read ok: path=" + Quoted(path) + " cluster=" + N(cluster) +
                    " bytes=" + N(static_cast<int64_t>(dir.Data.size())) + " deleted=" + BoolText(deleted));

    DecodeDirectoryEntries(state, path, dir, deleted);

    TFatLongNameState ln;
    const size_t count = dir.Data.size() / kDirEntrySize;
    for (size_t i = 0; i < count; ++i) {
        const ByteSpan e = EntryAt(dir, i);
        const uint8_t b = e[0];
        const uint8_t attr = e[11];
        if (b == kEntryEnd) break;
        if (attr == kAttrLongName) {
            AddLongNameEntry(ln, e);
            continue;
        }
        const uint32_t start = EntryStartCluster(e);
        // Only folders with a first cluster are followed; the name of anything else is not needed.
        if (!(attr & kAttrDirectory) || (attr & kAttrVolumeLabel) || start < 2) {
            ResetLongName(ln);
            continue;
        }
        const std::string name = ResolveEntryName(ln, e, deleted || b == kEntryDeleted).Name;
        ResetLongName(ln);
        if (name.empty() || IsDotName(name)) continue;
        const int64_t size = ReadLe32(e, 28);
        const bool childDeleted = b == kEntryDeleted;
        if (deleted && !childDeleted) {
            if (dbg)
                log.SafeLog("FAT32 DBG skip child dir in deleted parent: parent=" + Quoted(path) + " idx=" + N(i) +
                            " name=" + Quoted(name) + " start=" + N(start) + " reason=live-child-under-deleted-parent");
            continue;
        }
        if (childDeleted) {
            state.DeletedDirClusters.insert(start);
        } else if (state.DeletedDirClusters.count(start) && state.DirClusters.count(start)) {
            // Only an alias whose deleted twin was actually read is a repeat. When the deleted
            // twin was skipped because its cluster is in use, this live entry is the folder
            // (renamed or moved in place) and its deleted files must still be listed.
            if (dbg)
                log.SafeLog("FAT32 DBG skip live dir alias: parent=" + Quoted(path) + " idx=" + N(i) + " name=" +
                            Quoted(name) + " start=" + N(start) + " reason=deleted-alias-for-same-cluster");
            continue;
        }
        const std::string child = ChildPath(path, name);
        if (dbg)
            log.SafeLog("FAT32 DBG dir candidate: parent=" + Quoted(path) + " child=" + Quoted(child) + " idx=" + N(i) +
                        " deleted=" + BoolText(childDeleted) + " start=" + N(start) + " size=" + N(size) +
                        " allocated=" + BoolText(IsClusterAllocated(vol, start)) + " attr=" + Hex2(attr));
        WalkFatDirectory(state, child, start, childDeleted, depth + 1, size);
    }

    const uint64_t now = GetTickCount64();
    if (now - state.Owner.FLastProgressTick > kFatProgressIntervalMs) {
        state.Owner.FLastProgressTick = now;
        log.SafeProgress(0, 0, Format(log.Translate("Scanning FAT32 directories... found %d files"),
                                      {static_cast<int64_t>(state.Results.size())}));
    }
}

void RunFat32Scan(TScanState& owner, TFat32Log& log, TFat32Volume volume, const TMaskList& masks) {
    // A mask the matcher cannot use ends the scan before any work, whatever the volume holds.
    if (!masks.empty()) ValidateMasks(masks);
    TFat32ScanState state(std::move(volume), owner, log, masks);
    log.SafeProgress(0, 0, log.Translate("Scanning FAT32 directories..."));
    WalkFatDirectory(state, "", state.Volume.RootCluster, false, 0, 0);
    const int64_t found = static_cast<int64_t>(state.Results.size());
    owner.FFound = std::move(state.Results);
    log.SafeLog("Fast FAT32 scan complete: found=" + N(found));
    log.SafeProgress(0, 0, Format(log.Translate("Preparing FAT32 results... Found %d files."), {found}));
}

} // namespace brivo
