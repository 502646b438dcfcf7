#include "exfat/ExFatWalk.h"

#include <algorithm>
#include <map>

#include "core/Text.h"
#include "core/TextFormat.h"
#include "exfat/ExFatLayout.h"
#include "filters/Masks.h"
#include "filters/SyntheticPath.h"
#include "filters/Wildcard.h"
#include "platform/Ticks.h"

namespace brivo {

namespace {

constexpr uint64_t kProgressIntervalMs = 250;
// Clusters read at a time by the sweep.
constexpr uint32_t kSweepBatchBytes = 1u << 20;

std::string ChildPath(const std::string& parent, const std::string& name) { return parent + "/" + name; }

// The cheap test before a set is decoded: a File entry followed by a Stream Extension.
bool LooksLikeSetStart(ByteSpan b, size_t at) {
    if (at + 2 * kExFatEntrySize > b.size()) return false;
    const uint8_t t = b[at] & 0x7F;
    return t == kExFatTypeFile && b[at + 1] >= 2 && b[at + 1] <= 18 && (b[at + kExFatEntrySize] & 0x7F) == kExFatTypeStream;
}

// A name as a path part: no separators, never "." or "..".
std::string SafeName(const std::u16string& name) {
    std::string s = Utf16ToUtf8(name);
    for (char& c : s)
        if (c == '/' || c == '\\' || c == '\0') c = '_';
    if (s == "." || s == "..") s = "_" + s;
    return s;
}

} // namespace

bool ReadExFatDirectory(TExFatVolume& vol, uint32_t first, bool noFatChain, uint64_t length, bool deleted,
                        TExFatDirData& out, const std::unordered_set<uint32_t>* done) {
    const uint32_t bpc = vol.BytesPerCluster();
    out = {};
    out.BytesPerCluster = bpc;
    uint64_t maxClusters = std::min<uint64_t>(kExFatMaxDirBytes / bpc, vol.Boot().ClusterCount);
    if (length) maxClusters = std::min<uint64_t>(maxClusters, std::max<uint64_t>(1, (length + bpc - 1) / bpc));
    std::unordered_set<uint32_t> seen;
    uint32_t c = first;
    while (out.Clusters.size() < maxClusters) {
        if (!vol.IsDataCluster(c) || !seen.insert(c).second || (done && done->count(c))) break;
        if (deleted && !out.Clusters.empty() && vol.IsAllocated(c)) break;
        const size_t at = out.Data.size();
        out.Data.resize(at + bpc);
        if (!vol.ReadCluster(c, out.Data.data() + at)) {
            out.Data.resize(at);
            break;
        }
        out.Clusters.push_back(c);
        if (noFatChain) {
            ++c;
        } else {
            c = vol.FatEntry(c);
        }
    }
    return !out.Clusters.empty();
}

namespace {

// Stamps without their 10 ms part are even seconds: two seconds either way.
constexpr TDateTime kStampSlack = 2.0 / 86400.0;

} // namespace

bool TExFatScanner::MadeAfter(const TExFatDirData& dir, const TExFatEntrySet& folder) const {
    if (!folder.HasModDate || dir.Clusters.empty()) return false;
    // A folder's last-changed time moves on whenever an entry is made in it, so no entry
    // of its own was made later.
    const ByteSpan b = ByteSpan(dir.Data).first(dir.BytesPerCluster);
    int dated = 0;
    for (size_t at = 0; at < b.size() && b[at] != 0;) {
        const TExFatEntrySet set = (b[at] & 0x7F) == kExFatTypeFile ? DecodeExFatEntrySet(b.subspan(at)) : TExFatEntrySet{};
        if (!set.Ok()) {
            at += kExFatEntrySize;
            continue;
        }
        if (!set.HasCreateDate || set.CreateDateUtc <= folder.ModDateUtc + kStampSlack) return false;
        ++dated;
        at += static_cast<size_t>(set.EntryCount) * kExFatEntrySize;
    }
    return dated > 0;
}

TExFatScanner::TExFatScanner(TExFatVolume& vol, TReaderReport& report, TReaderOptions options)
    : vol_(vol), report_(report), options_(std::move(options)), emptyIsNoise_(IsDefaultMaskList(options_.Masks)) {}

void TExFatScanner::Progress(const std::string& text, uint64_t pos, uint64_t max) {
    const uint64_t now = GetTickCount64();
    if (now - lastProgress_ < kProgressIntervalMs) return;
    lastProgress_ = now;
    report_.Progress(pos, max, text);
}

TReaderResult TExFatScanner::Run() {
    if (!options_.Masks.empty()) ValidateMasks(options_.Masks);
    report_.Progress(0, 0, report_.Translate("Scanning exFAT directories..."));
    // The bitmap and up-case table are the root's own; their clusters are never swept.
    Walk("", vol_.Boot().RootCluster, false, 0, false, 0);
    // The sweep of free clusters for entry sets runs in every scan: a deleted folder's
    // later clusters, which its entry no longer counts and the cleared FAT no longer
    // links, are found nowhere else, and reading the free clusters once costs about as
    // much as the walk on a full volume.
    if (!report_.StopRequested()) Sweep();
    report_.Log("Fast exFAT scan complete: found=" + std::to_string(result_.Found.size()));
    return std::move(result_);
}

void TExFatScanner::Walk(const std::string& path, uint32_t first, bool noFatChain, uint64_t length, bool deleted, int depth,
                         const TExFatEntrySet* self) {
    if (report_.StopRequested() || depth > kExFatMaxDepth || dirClusters_.count(first)) return;
    // The first cluster of a deleted folder in use again holds someone else's data now.
    if (deleted && vol_.IsAllocated(first)) {
        if (report_.DebugEnabled())
            report_.DebugLog("exFAT skip deleted dir: path=\"" + path + "\" cluster=" + std::to_string(first) + " reason=reallocated");
        return;
    }
    TExFatDirData dir;
    if (!ReadExFatDirectory(vol_, first, noFatChain, length, deleted, dir, &dirClusters_)) return;
    if (deleted && self && MadeAfter(dir, *self)) {
        // Every entry there was made after the folder last changed: the freed cluster went
        // to a folder made later (deleted too, or the sweep lists it as lost), not this one.
        if (report_.DebugEnabled())
            report_.DebugLog("exFAT skip deleted dir: path=\"" + path + "\" cluster=" + std::to_string(first) +
                             " reason=entries-younger-than-folder");
        return;
    }
    for (uint32_t c : dir.Clusters) dirClusters_.insert(c);
    std::vector<TChild> children;
    const size_t cutBefore = cutTails_.size();
    Decode(path, dir, deleted, depth, children);
    if (deleted && self && self->HasCreateDate && self->HasModDate && cutTails_.size() == cutBefore) {
        // No end-of-directory entry in the last cluster read: the folder went on.
        const ByteSpan last = ByteSpan(dir.Data).last(dir.BytesPerCluster);
        bool ended = false;
        for (size_t at = 0; at < last.size() && !ended; at += kExFatEntrySize) ended = last[at] == 0;
        if (!ended) openEnds_.push_back({path, depth, self->CreateDateUtc, self->ModDateUtc});
    }
    for (const TChild& c : children)
        Walk(c.Path, c.Set.FirstCluster, c.Set.NoFatChain, c.Set.DataLength, c.Deleted, depth + 1, &c.Set);
    Progress(Format(report_.Translate("Scanning exFAT directories... found %d files"), {static_cast<int64_t>(result_.Found.size())}));
}

void TExFatScanner::Decode(const std::string& path, const TExFatDirData& dir, bool deleted, int depth,
                           std::vector<TChild>& children) {
    const ByteSpan data(dir.Data);
    const size_t slots = data.size() / kExFatEntrySize;
    for (size_t i = 0; i < slots;) {
        const size_t at = i * kExFatEntrySize;
        const uint8_t type = data[at];
        if (type == 0) break;  // end of directory
        if ((type & 0x7F) != kExFatTypeFile) {
            ++i;
            continue;
        }
        TExFatEntrySet set = DecodeExFatEntrySet(data.subspan(at));
        const bool cut = deleted && set.Status == TExFatSetStatus::Truncated;
        if (cut) set = DecodeExFatCutSet(data.subspan(at));
        if (!set.Ok()) {
            if (report_.DebugEnabled() && (deleted || !(type & kExFatInUse)))
                report_.DebugLog("exFAT skip entry set: path=\"" + path + "\" slot=" + std::to_string(i) +
                                 " status=" + std::to_string(static_cast<int>(set.Status)));
            ++i;
            continue;
        }
        const uint32_t cluster = dir.Clusters[at / dir.BytesPerCluster];
        const uint64_t entryOffset = vol_.ClusterOffset(cluster) + at % dir.BytesPerCluster;
        const bool gone = deleted || !set.InUse;
        const std::string child = ChildPath(path, SafeName(set.Name));
        if (set.IsDir()) {
            if (gone) result_.DeletedFolders.push_back(child);
            if (vol_.IsDataCluster(set.FirstCluster) && set.DataLength) children.push_back({child, set, gone});
        } else if (gone) {
            const long index = AddResult(child, set, entryOffset, gone);
            if (cut) cutTails_.push_back({path, std::vector<uint8_t>(data.begin() + static_cast<std::ptrdiff_t>(at), data.end()),
                                          entryOffset, depth, index});
        }
        i += static_cast<size_t>(set.EntryCount);
    }
}

long TExFatScanner::AddResult(const std::string& path, const TExFatEntrySet& set, uint64_t entryOffset, bool deleted) {
    const uint64_t address = vol_.MetaAddress(entryOffset);
    if (!seenAddresses_.insert(address).second) return -1;
    if (options_.Cleanup) {
        // A lost folder's made-up prefix is not noise; what is below it may be.
        const std::string_view tested = cleanupBase_.empty() || path.compare(0, cleanupBase_.size(), cleanupBase_) != 0
                                            ? std::string_view(path)
                                            : std::string_view(path).substr(cleanupBase_.size());
        if ((set.DataLength == 0 && emptyIsNoise_) || IsSyntheticPath(tested, TScanWhere::swDisk)) {
            ++result_.HiddenByCleanup;
            return -1;
        }
    }
    if (!options_.Masks.empty() && !MatchesAnyMask(path, options_.Masks)) {
        ++result_.HiddenByMasks;
        return -1;
    }
    TFoundFile f;
    f.Inode = std::to_string(address);
    f.FullPath = path;
    f.IsDeleted = deleted;
    f.FileType = "r/r";
    f.SizeBytes = static_cast<int64_t>(std::min<uint64_t>(set.DataLength, INT64_MAX));
    f.HasModDate = set.HasModDate;
    f.ModDateUtc = set.HasModDate ? set.ModDateUtc : 0;
    f.HasCreateDate = set.HasCreateDate;
    f.CreateDateUtc = set.HasCreateDate ? set.CreateDateUtc : 0;
    const TClusterCondition c = ExFatCondition(vol_, set, [this](const std::string& t) { return report_.Translate(t); });
    f.DamageText = c.Text;
    f.DamageScore = c.Score;
    f.FoundBy = foundBy_;
    result_.Found.push_back(std::move(f));
    return static_cast<long>(result_.Found.size()) - 1;
}

void TExFatScanner::Sweep() {
    if (!vol_.HasBitmap()) {
        report_.Log("exFAT deep scan: no allocation bitmap, free space unknown; skipped.");
        return;
    }
    foundBy_ = TFoundBy::DeepSweep;
    const uint32_t bpc = vol_.BytesPerCluster();
    const uint64_t limit = vol_.ClusterLimit();
    const uint32_t batch = std::max<uint32_t>(1, kSweepBatchBytes / bpc);
    // Free clusters holding at least one whole entry set that starts in them, with the
    // folders those sets point at.
    std::vector<uint32_t> found;
    std::unordered_set<uint32_t> claimed;
    std::map<uint32_t, std::pair<bool, uint64_t>> dirShape;  // first cluster -> (no FAT chain, length)
    std::vector<uint8_t> buf;
    // Free clusters that open with the later entries of a set: a folder's data going on.
    std::vector<std::pair<uint32_t, std::vector<uint8_t>>> starts;
    for (uint64_t c0 = kExFatFirstCluster; c0 < limit; c0 += batch) {
        if (report_.StopRequested()) return;
        const uint32_t n = static_cast<uint32_t>(std::min<uint64_t>(batch, limit - c0));
        bool anyFree = false;
        for (uint32_t k = 0; k < n && !anyFree; ++k) anyFree = !vol_.IsAllocated(static_cast<uint32_t>(c0 + k));
        if (!anyFree) continue;
        // One cluster more, so a set that crosses the batch's end is seen whole.
        const uint32_t readN = static_cast<uint32_t>(std::min<uint64_t>(n + 1, limit - c0));
        buf.resize(size_t{readN} * bpc);
        const int64_t got = vol_.Source().ReadAt(vol_.ClusterOffset(static_cast<uint32_t>(c0)), buf.data(), buf.size());
        if (got <= 0) continue;
        const ByteSpan b(buf.data(), static_cast<size_t>(got));
        for (uint32_t k = 0; k < n; ++k) {
            const uint32_t c = static_cast<uint32_t>(c0 + k);
            if (vol_.IsAllocated(c) || dirClusters_.count(c)) continue;
            const size_t head = size_t{k} * bpc;
            if (!cutTails_.empty() && head < b.size()) {
                const uint8_t t = b[head] & 0x7F;
                if (t == kExFatTypeStream || t == kExFatTypeName) {
                    const size_t n = std::min<size_t>(19 * kExFatEntrySize, b.size() - head);
                    starts.emplace_back(c, std::vector<uint8_t>(b.begin() + static_cast<std::ptrdiff_t>(head),
                                                                b.begin() + static_cast<std::ptrdiff_t>(head + n)));
                }
            }
            bool any = false;
            for (size_t at = size_t{k} * bpc; at < size_t{k + 1} * bpc && at < b.size(); at += kExFatEntrySize) {
                if (!LooksLikeSetStart(b, at)) continue;
                const TExFatEntrySet set = DecodeExFatEntrySet(b.subspan(at));
                // In free space a checksum that agrees by chance is not enough: the name
                // must also give the hash its writer stored (names compare up-cased).
                if (!set.Ok() || ExFatNameHash(vol_.FoldName(set.Name)) != set.NameHash) continue;
                any = true;
                if (set.IsDir() && vol_.IsDataCluster(set.FirstCluster) && set.DataLength) {
                    dirShape[set.FirstCluster] = {set.NoFatChain, set.DataLength};
                    claimed.insert(set.FirstCluster);
                }
                at += (static_cast<size_t>(set.EntryCount) - 1) * kExFatEntrySize;
            }
            if (any) found.push_back(c);
        }
        Progress(report_.Translate(options_.Deep ? "Deep scan: looking for lost exFAT folders..." : "Looking for lost exFAT folders..."),
                 c0 - kExFatFirstCluster, limit - kExFatFirstCluster);
    }
    JoinCutSets(starts);
    PlaceOpenEnds(found, claimed);
    // A folder that no found entry points at is lost: it is listed under its cluster. Its
    // named subfolders are reached through it. A folder's later clusters follow its first
    // when nothing else claims them.
    for (size_t i = 0; i < found.size(); ++i) {
        if (report_.StopRequested()) return;
        const uint32_t c = found[i];
        if (claimed.count(c) || dirClusters_.count(c)) continue;
        uint64_t run = 1;
        while (i + run < found.size() && found[i + run] == c + run && !claimed.count(found[i + run])) ++run;
        const std::string path = std::string(kExFatOrphanFolder) + "/Folder at cluster " + std::to_string(c);
        cleanupBase_ = path;
        Walk(path, c, true, run * bpc, true, 1);
    }
    // Folders that only point at each other (each claimed, none reached) are lost too.
    for (uint32_t c : found) {
        if (report_.StopRequested()) return;
        if (dirClusters_.count(c)) continue;
        const std::string path = std::string(kExFatOrphanFolder) + "/Folder at cluster " + std::to_string(c);
        cleanupBase_ = path;
        Walk(path, c, true, bpc, true, 1);
    }
    cleanupBase_.clear();
    foundBy_ = TFoundBy::Metadata;
}

void TExFatScanner::PlaceOpenEnds(const std::vector<uint32_t>& found, const std::unordered_set<uint32_t>& claimed) {
    if (openEnds_.empty()) return;
    // A lost cluster that opens with an entry set, with the span of its sets' creation times.
    struct TLost {
        uint32_t Cluster = 0;
        TDateTime First = 0, Last = 0;
        int Fits = 0;  // open-ended folders whose life holds that span
    };
    std::vector<TLost> lost;
    const uint32_t bpc = vol_.BytesPerCluster();
    std::vector<uint8_t> buf(bpc);
    for (uint32_t c : found) {
        if (report_.StopRequested()) return;
        if (claimed.count(c) || dirClusters_.count(c) || !vol_.ReadCluster(c, buf.data())) continue;
        const ByteSpan b(buf);
        if (!LooksLikeSetStart(b, 0)) continue;
        TLost l{c, 0, 0, 0};
        bool dated = true, any = false;
        for (size_t at = 0; at < b.size() && b[at] != 0;) {
            const TExFatEntrySet set = (b[at] & 0x7F) == kExFatTypeFile ? DecodeExFatEntrySet(b.subspan(at)) : TExFatEntrySet{};
            if (!set.Ok()) {
                at += kExFatEntrySize;
                continue;
            }
            if (!set.HasCreateDate) dated = false;
            if (!any || set.CreateDateUtc < l.First) l.First = set.CreateDateUtc;
            if (!any || set.CreateDateUtc > l.Last) l.Last = set.CreateDateUtc;
            any = true;
            at += static_cast<size_t>(set.EntryCount) * kExFatEntrySize;
        }
        if (any && dated) lost.push_back(l);
    }
    constexpr TDateTime kSlack = kStampSlack;
    auto fits = [&](const TOpenEnd& o, const TLost& l) {
        return o.Created <= o.Changed && l.First >= o.Created - kSlack && l.Last <= o.Changed + kSlack;
    };
    for (const TOpenEnd& o : openEnds_)
        for (TLost& l : lost)
            if (fits(o, l)) ++l.Fits;
    // The proof: exactly one lost cluster of entry sets made within the folder's life, and
    // no other open-ended folder whose life holds it too.
    for (const TOpenEnd& o : openEnds_) {
        const TLost* only = nullptr;
        int n = 0;
        for (const TLost& l : lost)
            if (fits(o, l)) {
                only = &l;
                ++n;
            }
        if (n != 1 || only->Fits != 1 || dirClusters_.count(only->Cluster)) {
            if (report_.DebugEnabled())
                report_.DebugLog("exFAT open-ended deleted folder not continued: path=\"" + o.Path + "\" candidates=" +
                                 std::to_string(n));
            continue;
        }
        report_.Log("exFAT: lost cluster " + std::to_string(only->Cluster) + " listed in \"" + o.Path +
                    "\": the folder's last cluster is full without an end of directory, and this is the only lost "
                    "cluster whose entries were all made while the folder existed.");
        Walk(o.Path, only->Cluster, true, bpc, true, o.Depth);
    }
}

void TExFatScanner::JoinCutSets(std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& starts) {
    // Each cut set is tried against each cluster that opens with a set's later entries; the
    // set checksum over the joined bytes decides. A joined cluster is read as the folder's
    // own, which may leave a cut set of its own to join in turn.
    std::vector<bool> used(starts.size(), false);
    for (size_t t = 0; t < cutTails_.size(); ++t) {
        if (report_.StopRequested()) return;
        const TCutTail tail = cutTails_[t];
        for (size_t i = 0; i < starts.size(); ++i) {
            if (used[i] || dirClusters_.count(starts[i].first)) continue;
            std::vector<uint8_t> joined = tail.Bytes;
            joined.insert(joined.end(), starts[i].second.begin(), starts[i].second.end());
            const TExFatEntrySet set = DecodeExFatEntrySet(joined);
            if (!set.Ok() || static_cast<size_t>(set.EntryCount) * kExFatEntrySize <= tail.Bytes.size()) continue;
            used[i] = true;
            if (tail.ResultIndex >= 0) {
                TFoundFile& f = result_.Found[static_cast<size_t>(tail.ResultIndex)];
                f.FullPath = tail.Path + "/" + SafeName(set.Name);
            }
            if (report_.DebugEnabled())
                report_.DebugLog("exFAT joined cut set: path=\"" + tail.Path + "\" cluster=" + std::to_string(starts[i].first));
            Walk(tail.Path, starts[i].first, true, vol_.BytesPerCluster(), true, tail.Depth);
            break;
        }
    }
}

} // namespace brivo
