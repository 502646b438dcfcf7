#include "fat32/FatDeepScan.h"

#include <algorithm>
#include <map>
#include <unordered_map>

#include "core/ByteReaders.h"
#include "core/TextFormat.h"
#include "fat32/FatLongName.h"
#include "platform/DateTime.h"
#include "platform/Ticks.h"

namespace brivo {

namespace {

constexpr uint64_t kProgressMs = 250;
constexpr int kMaxFolderDepth = 64;

bool ValidDate(uint16_t date) {
    if (date == 0) return true;
    return IsValidDate(((date >> 9) & 0x7F) + 1980, (date >> 5) & 0x0F, date & 0x1F);
}

bool ValidTime(uint16_t time) { return (time >> 11) < 24 && ((time >> 5) & 0x3F) < 60 && (time & 0x1F) < 30; }

bool IsDotEntry(ByteSpan e, bool dotdot) {
    if (e[0] != '.' || e[1] != (dotdot ? '.' : ' ') || !(e[11] & kAttrDirectory)) return false;
    for (size_t i = 2; i < 11; ++i)
        if (e[i] != ' ') return false;
    return true;
}

// A byte that may stand in a short name as the system writes it: upper case, digits and
// the few punctuation marks allowed, or any OEM character from 0x80 up.
bool ShortNameByte(uint8_t b) {
    if (b < 0x20 || b == 0x7F) return false;
    if (b >= 'a' && b <= 'z') return false;
    static constexpr char kBad[] = "\"*+,./:;<=>?[\\]|";
    for (const char* p = kBad; *p; ++p)
        if (b == uint8_t(*p)) return false;
    return true;
}

enum class TSlot { Bad, LongName, Short };

TSlot CheckSlot(ByteSpan e, const TFatVolumeView& view) {
    const uint8_t attr = e[11];
    if (attr == kAttrLongName) {
        const uint8_t seq = e[0];
        const uint8_t ord = seq & 0x1F;
        if (seq != kEntryDeleted && ((seq & ~0x5F) != 0 || ord == 0 || ord > 20)) return TSlot::Bad;
        if (e[12] != 0 || ReadLe16(e, 26) != 0) return TSlot::Bad;
        return TSlot::LongName;
    }
    if (attr & 0xC0) return TSlot::Bad;
    if (e[0] == ' ') return TSlot::Bad;
    for (size_t i = 0; i < 11; ++i) {
        if (i == 0 && (e[0] == kEntryDeleted || e[0] == 0x05)) continue;
        if (!ShortNameByte(e[i])) return TSlot::Bad;
    }
    const uint32_t start = EntryStartCluster(e);
    const uint32_t size = ReadLe32(e, 28);
    if (start != 0 && !view.IsDataCluster(start)) return TSlot::Bad;
    if (attr & kAttrDirectory) {
        if (size != 0) return TSlot::Bad;
    } else if (size > 0) {
        if (start == 0) return TSlot::Bad;  // content always has a cluster
        if (uint64_t{size} > uint64_t{view.ClusterLimit - start} * view.BytesPerCluster) return TSlot::Bad;
    }
    if (!ValidDate(ReadLe16(e, 24)) || !ValidTime(ReadLe16(e, 22))) return TSlot::Bad;
    if (!ValidDate(ReadLe16(e, 16)) || !ValidTime(ReadLe16(e, 14))) return TSlot::Bad;
    if (!ValidDate(ReadLe16(e, 18))) return TSlot::Bad;
    return TSlot::Short;
}

} // namespace

// The rule: a cluster is directory data when
//   1. every 32-byte slot before the first end marker (first byte 0x00) is a plausible entry:
//      - a long-name slot has a sequence byte 1..20 (with or without the last-part flag) or
//        0xE5, a zero type byte and a zero cluster field;
//      - a short slot has the reserved attribute bits clear, name bytes a system writes
//        (no control characters, no lower case, none of "*+,./:;<=>?[\]|, no leading space;
//        the first byte may be 0xE5 or 0x05), a first cluster of 0 or inside the volume, a size
//        that fits between its first cluster and the end of the volume (0 for a folder, and
//        only 0 when there is no first cluster), and creation, write and access dates and
//        times that are 0 or real;
//      - "." and ".." stand only in the first two slots;
//   2. everything after the end marker is zero (new directory clusters are zeroed);
//   3. it holds at least one short entry and positive evidence: it starts with "." (pointing
//      at this very cluster) and "..", or a long name's checksum matches its short entry, or
//      two short entries carry a real write date.
// Condition 1 alone turns away random bytes (one slot in a few thousand passes), text (lower
// case, spaces, punctuation) and FAT sectors (small numbers are control characters); 3 keeps
// a lone accidental slot from counting.
TFatClusterVerdict ClassifyDirCluster(std::span<const uint8_t> bytes, uint32_t cluster, const TFatVolumeView& view) {
    TFatClusterVerdict v;
    const size_t slots = bytes.size() / kDirEntrySize;
    if (slots == 0 || bytes[0] == kEntryEnd) return v;
    size_t shorts = 0, dated = 0, checksums = 0;
    bool dot = false;
    uint32_t parent = 0;
    // The long-name run in progress: its checksum and whether it has one yet.
    int runChecksum = -1;
    size_t i = 0;
    for (; i < slots; ++i) {
        const ByteSpan e = bytes.subspan(i * kDirEntrySize, kDirEntrySize);
        if (e[0] == kEntryEnd) break;
        if (e[0] == '.') {
            const bool isDot = i == 0 && IsDotEntry(e, false) && EntryStartCluster(e) == cluster;
            const bool isDotDot = i == 1 && dot && IsDotEntry(e, true);
            if (!isDot && !isDotDot) return v;
            if (isDot) dot = true;
            if (isDotDot) parent = EntryStartCluster(e);
            runChecksum = -1;
            continue;
        }
        if (i == 1 && dot) return v;  // "." without ".."
        switch (CheckSlot(e, view)) {
        case TSlot::Bad:
            return v;
        case TSlot::LongName:
            runChecksum = e[13];
            break;
        case TSlot::Short:
            ++shorts;
            if (ReadLe16(e, 24) != 0) ++dated;
            if (runChecksum >= 0 && LfnChecksum(e) == uint8_t(runChecksum)) ++checksums;
            runChecksum = -1;
            break;
        }
    }
    for (size_t k = i * kDirEntrySize; k < bytes.size(); ++k)
        if (bytes[k] != 0) return v;
    if (dot && slots >= 2 && i < 2) return v;
    const bool evidence = dot || checksums > 0 || dated >= 2;
    if (!evidence || (shorts == 0 && !dot)) return v;
    v.Kind = dot ? TFatClusterKind::FolderStart : TFatClusterKind::Continuation;
    v.Parent = parent;
    v.Full = i == slots;
    return v;
}

uint64_t FatBirthStamp(std::span<const uint8_t> e) {
    if (e.size() < kDirEntrySize) return 0;
    if (const uint16_t cdate = ReadLe16(e, 16)) return uint64_t{cdate} << 16 | ReadLe16(e, 14);
    if (const uint16_t wdate = ReadLe16(e, 24)) return uint64_t{wdate} << 16 | ReadLe16(e, 22);
    return 0;
}

bool DirDataLacksEndMarker(std::span<const uint8_t> data) {
    for (size_t i = 0; i + kDirEntrySize <= data.size(); i += kDirEntrySize)
        if (data[i] == kEntryEnd) return false;
    return !data.empty();
}

namespace {

struct TDirCluster {
    uint32_t Cluster = 0;
    std::vector<uint8_t> Bytes;
    TFatClusterVerdict Verdict;
    bool Known = false;          // read by the walk
    std::string KnownPath;       // the walk's folder, for its first cluster
    uint32_t Prev = 0;           // the cluster before it in its folder, 0 when none or unknown
    uint32_t Next = 0;
    bool NextAmbiguous = false;
};

class TDeepSweep {
public:
    TDeepSweep(const TFatVolumeView& view, const TFatDeepInput& input, TReaderReport& report)
        : view_(view), input_(input), report_(report) {}

    TFatDeepResult Run() {
        for (const auto& d : input_.KnownDirs)
            if (!d.Clusters.empty()) {
                knownPath_.emplace(d.Clusters[0], d.Path);
                knownDir_.emplace(d.Clusters[0], &d);
            }
        ReadKnownDeleted();
        Sweep();
        JoinContinuations();
        ListEntries();
        for (const auto& [c, d] : dirs_)
            if (!d.Known) result_.DirClusters.insert(c);
        return std::move(result_);
    }

private:
    const TFatVolumeView& view_;
    const TFatDeepInput& input_;
    TReaderReport& report_;
    TFatDeepResult result_;
    std::map<uint32_t, TDirCluster> dirs_;
    std::unordered_map<uint32_t, std::string> knownPath_;  // first cluster -> path
    std::unordered_map<uint32_t, std::string> folderPath_;  // memo: first cluster -> path
    std::unordered_map<uint32_t, std::pair<std::string, uint32_t>> folderNames_;  // first cluster -> name, cluster holding the entry
    std::unordered_map<uint32_t, const TFatKnownDir*> knownDir_;  // first cluster -> the walk's folder
    std::unordered_map<uint32_t, uint64_t> liveBirth_;  // memo: LiveFolderBirth by first cluster

    // The deleted folders the walk read: their last cluster may go on in a cluster the sweep finds.
    void ReadKnownDeleted() {
        std::vector<uint8_t> buf(view_.BytesPerCluster);
        for (const auto& d : input_.KnownDirs) {
            if (!d.Deleted) continue;
            uint32_t prev = 0;
            for (uint32_t c : d.Clusters) {
                if (!view_.IsDataCluster(c) || dirs_.count(c) || !view_.ReadClusters(c, 1, buf.data())) break;
                TDirCluster& x = dirs_[c];
                x.Cluster = c;
                x.Bytes = buf;
                x.Known = true;
                x.Verdict.Full = DirDataLacksEndMarker(buf);
                x.Verdict.Kind = prev ? TFatClusterKind::Continuation : TFatClusterKind::FolderStart;
                if (!prev) x.KnownPath = d.Path;
                x.Prev = prev;
                if (prev) dirs_[prev].Next = c;
                prev = c;
            }
        }
    }

    void Sweep() {
        const uint64_t bpc = view_.BytesPerCluster;
        const uint32_t chunk = uint32_t(std::clamp<uint64_t>(kDeepReadBytes / bpc, 1, view_.ClusterLimit));
        std::vector<uint8_t> buf(size_t(chunk) * bpc);
        uint64_t lastTick = 0;
        const std::string caption = report_.Translate("Deep scan: searching free space for folders... %d%%");
        uint32_t c = 2;
        while (c < view_.ClusterLimit) {
            if (report_.StopRequested()) {
                result_.Stats.Stopped = true;
                return;
            }
            // The next run of free clusters the walk did not read.
            while (c < view_.ClusterLimit && (view_.FatEntry(c) != 0 || input_.WalkClusters.count(c))) ++c;
            uint32_t n = 0;
            while (n < chunk && c + n < view_.ClusterLimit && view_.FatEntry(c + n) == 0 &&
                   !input_.WalkClusters.count(c + n))
                ++n;
            if (n == 0) break;
            if (view_.ReadClusters(c, n, buf.data())) {
                for (uint32_t k = 0; k < n; ++k) Look(c + k, std::span<const uint8_t>(buf).subspan(size_t(k) * bpc, bpc));
            } else {
                // Unreadable somewhere in the run: take its clusters one by one.
                for (uint32_t k = 0; k < n; ++k)
                    if (view_.ReadClusters(c + k, 1, buf.data())) Look(c + k, std::span<const uint8_t>(buf).first(bpc));
            }
            result_.Stats.ClustersRead += n;
            c += n;
            const uint64_t now = GetTickCount64();
            if (now - lastTick > kProgressMs) {
                lastTick = now;
                const int64_t pct = int64_t(uint64_t{c} * 100 / std::max<uint32_t>(1, view_.ClusterLimit));
                report_.Progress(c, view_.ClusterLimit, Format(caption, {pct}));
            }
        }
    }

    void Look(uint32_t cluster, std::span<const uint8_t> bytes) {
        const TFatClusterVerdict v = ClassifyDirCluster(bytes, cluster, view_);
        if (v.Kind == TFatClusterKind::NotDirectory) return;
        if ((dirs_.size() + 1) * uint64_t{view_.BytesPerCluster} > kDeepMaxDirBytes) {
            ++result_.Stats.PassedOver;
            return;
        }
        TDirCluster& x = dirs_[cluster];
        x.Cluster = cluster;
        x.Bytes.assign(bytes.begin(), bytes.end());
        x.Verdict = v;
        ++(v.Kind == TFatClusterKind::FolderStart ? result_.Stats.FolderStarts : result_.Stats.Continuations);
    }

    // Joins each continuation to the directory cluster before it. The evidence is the order
    // in which the volume handed out clusters: a folder grows when its last cluster is full
    // and a new entry is added, so the new cluster comes right after the data of the file
    // written before that entry, and right before the data of the file whose entry opens the
    // new cluster. A continuation K is joined to a full directory cluster X when an entry of
    // X ends at K - 1, or ends right before where K's first entry begins; only when exactly
    // one such X exists and nothing else has claimed to follow it.
    void JoinContinuations() {
        const uint64_t bpc = view_.BytesPerCluster;
        std::unordered_map<uint32_t, std::vector<uint32_t>> endsAt;  // last cluster of an entry's data -> dir clusters
        for (const auto& [cluster, x] : dirs_) {
            if (!x.Verdict.Full) continue;
            const uint32_t c = cluster;
            ForEachShort(x.Bytes, [&](ByteSpan e) {
                const uint32_t start = EntryStartCluster(e);
                if (!view_.IsDataCluster(start)) return;
                const uint64_t size = ReadLe32(e, 28);
                const uint64_t need = (e[11] & kAttrDirectory) ? 1 : std::max<uint64_t>(1, (size + bpc - 1) / bpc);
                const uint64_t end = uint64_t{start} + need - 1;
                if (end < view_.ClusterLimit) endsAt[uint32_t(end)].push_back(c);
            });
        }
        auto candidates = [&](uint32_t at, std::vector<uint32_t>& out) {
            auto it = endsAt.find(at);
            if (it != endsAt.end()) out.insert(out.end(), it->second.begin(), it->second.end());
        };
        for (auto& [k, x] : dirs_) {
            if (x.Known || x.Verdict.Kind != TFatClusterKind::Continuation) continue;
            std::vector<uint32_t> cand;
            if (k > 2) candidates(k - 1, cand);
            uint32_t first = 0;
            ForEachShort(x.Bytes, [&](ByteSpan e) {
                if (!first && view_.IsDataCluster(EntryStartCluster(e))) first = EntryStartCluster(e);
            });
            if (first > 2 && first != k + 1) candidates(first - 1, cand);
            std::sort(cand.begin(), cand.end());
            cand.erase(std::unique(cand.begin(), cand.end()), cand.end());
            std::erase(cand, k);
            if (cand.size() != 1) continue;
            TDirCluster& prev = dirs_[cand[0]];
            // The walk read what follows it: that link stands.
            if (prev.Next && dirs_[prev.Next].Known) continue;
            if (prev.Next || prev.NextAmbiguous) {
                prev.NextAmbiguous = true;
                if (prev.Next && prev.Next != k) dirs_[prev.Next].Prev = 0;
                prev.Next = 0;
                continue;
            }
            prev.Next = k;
            x.Prev = cand[0];
        }
    }

    template <typename F>
    static void ForEachShort(const std::vector<uint8_t>& bytes, F&& f) {
        for (size_t i = 0; i + kDirEntrySize <= bytes.size(); i += kDirEntrySize) {
            const ByteSpan e = ByteSpan(bytes).subspan(i, kDirEntrySize);
            if (e[0] == kEntryEnd) break;
            if (e[11] == kAttrLongName || e[0] == '.' || (e[11] & kAttrVolumeLabel)) continue;
            f(e);
        }
    }

    // The folder's first cluster of a directory cluster, following Prev; 0 when unknown.
    uint32_t FolderStartOf(uint32_t c) const {
        for (int guard = 0; guard < 1 << 20; ++guard) {
            auto it = dirs_.find(c);
            if (it == dirs_.end()) return 0;
            if (it->second.Verdict.Kind == TFatClusterKind::FolderStart) return c;
            if (!it->second.Prev) return 0;
            c = it->second.Prev;
        }
        return 0;
    }

    static bool IsRootRef(uint32_t c, uint32_t root) { return c == 0 || (root != 0 && c == root); }

    // When the live folder d came into being, from its own "." entry: 0 unless that entry
    // can be trusted, i.e. "." names the folder's cluster, ".." names the folder whose
    // entry led the walk here, and "." bears the same stamp as that entry.
    uint64_t LiveFolderBirth(const TFatKnownDir& d) {
        const uint32_t c = d.Clusters[0];
        if (auto it = liveBirth_.find(c); it != liveBirth_.end()) return it->second;
        uint64_t born = 0;
        std::vector<uint8_t> buf(view_.BytesPerCluster);
        if (buf.size() >= 2 * kDirEntrySize && view_.ReadClusters(c, 1, buf.data())) {
            const ByteSpan dot = ByteSpan(buf).first(kDirEntrySize);
            const ByteSpan dotdot = ByteSpan(buf).subspan(kDirEntrySize, kDirEntrySize);
            const uint32_t up = EntryStartCluster(dotdot);
            const bool upAgrees = d.ParentCluster == 0 ? IsRootRef(up, view_.RootCluster) : up == d.ParentCluster;
            const uint64_t stamp = FatBirthStamp(dot);
            if (IsDotEntry(dot, false) && EntryStartCluster(dot) == c && IsDotEntry(dotdot, true) && upAgrees &&
                stamp != 0 && stamp == d.EntryStamp)
                born = stamp;
        }
        liveBirth_[c] = born;
        return born;
    }

    // Whether the folder at cluster x, which the ".." entry of the lost folder at start
    // names, is that folder's parent. A cluster freed by a deletion is handed to the next
    // folder made: a live folder there is the parent only when its own "." shows it was
    // made no later than the lost folder (whose ".." carries the lost folder's own birth);
    // a folder found in free space there is turned away only when the stamps contradict.
    bool IsParent(uint32_t start, uint32_t x, std::string& why) {
        const auto cit = dirs_.find(start);
        if (cit == dirs_.end() || cit->second.Bytes.size() < 2 * kDirEntrySize) return false;
        const uint64_t born = FatBirthStamp(ByteSpan(cit->second.Bytes).subspan(kDirEntrySize, kDirEntrySize));
        if (auto kit = knownDir_.find(x); kit != knownDir_.end() && !kit->second->Deleted) {
            const uint64_t since = LiveFolderBirth(*kit->second);
            if (since == 0) {
                why = "live folder's own entries do not date it";
            } else if (born == 0) {
                why = "lost folder's \"..\" has no date";
            } else if (born < since) {
                why = "live folder is younger";
            }
            return born != 0 && since != 0 && born >= since;
        }
        const auto pit = dirs_.find(x);
        if (pit == dirs_.end() || pit->second.Bytes.size() < kDirEntrySize) return false;
        const ByteSpan dot = ByteSpan(pit->second.Bytes).first(kDirEntrySize);
        if (!IsDotEntry(dot, false)) {
            why = "no folder starts there";
            return false;
        }
        const uint64_t since = FatBirthStamp(dot);
        if (born != 0 && since != 0 && born < since) {
            why = "folder found there is younger";
            return false;
        }
        return true;
    }

    // A folder (or the part of one) whose place cannot be told keeps its files together
    // under the orphan folder, named after the first cluster found of it.
    static std::string LostFolderName(uint32_t cluster) { return "Folder at cluster " + std::to_string(cluster); }

    // The path of the folder whose first cluster is start. Its name comes from the deleted
    // entry that points at it ("Folder at cluster N" when that entry is gone), its parent from
    // "..", else from the folder holding that entry. A folder whose parent cannot be told
    // goes under kOrphanFolder; so does an unnamed one at the root, which would otherwise
    // look like a folder of the volume.
    std::string FolderPath(uint32_t start, int depth = 0) {
        if (auto it = knownPath_.find(start); it != knownPath_.end()) return it->second;
        if (auto it = folderPath_.find(start); it != folderPath_.end()) return it->second;
        auto dit = dirs_.find(start);
        auto nit = folderNames_.find(start);
        const bool named = nit != folderNames_.end();
        const std::string name = named ? nit->second.first : LostFolderName(start);
        std::string parent = kOrphanFolder;
        if (depth < kMaxFolderDepth && dit != dirs_.end()) {
            const uint32_t dotdot = dit->second.Verdict.Parent;
            if (dotdot == 0 || dotdot == view_.RootCluster) {
                if (named) parent = "";
            } else {
                std::string why;
                const bool there = knownPath_.count(dotdot) || dirs_.count(dotdot);
                if (there && IsParent(start, dotdot, why)) {
                    parent = FolderPath(dotdot, depth + 1);
                } else if (auto uit = input_.UnreadFolders.find(dotdot); uit != input_.UnreadFolders.end()) {
                    // The deleted entry that names the cluster: the folder that had it before.
                    parent = uit->second;
                } else if (named) {
                    const uint32_t holder = FolderStartOf(nit->second.second);
                    if (holder) parent = FolderPath(holder, depth + 1);
                }
                if (there && !why.empty()) {
                    ++result_.Stats.ReuseRefused;
                    if (report_.DebugEnabled())
                        report_.DebugLog("FAT deep: folder at cluster " + std::to_string(start) + " not placed under \"" +
                                     FolderPath(dotdot, depth + 1) + "\" (cluster " + std::to_string(dotdot) +
                                     ", named by its \"..\"): " + why + "; placed under \"" + parent + "\"");
                }
            }
        }
        std::string path = parent + "/" + name;
        folderPath_[start] = path;
        return path;
    }

    // Lists every chain of directory clusters from its head (a cluster nothing is joined
    // before), long names running on from one cluster into the next. A chain that starts at a
    // folder's first cluster is that folder; any other is a folder of its own under
    // kOrphanFolder.
    void ListEntries() {
        // Names of folders first: any entry may name a folder found anywhere.
        for (const auto& [c, x] : dirs_) DecodeCluster(c, x, nullptr, nullptr);
        for (const auto& [c, x] : dirs_) {
            if (x.Prev) continue;
            const bool folder = x.Verdict.Kind == TFatClusterKind::FolderStart;
            const std::string path = folder ? FolderPath(c) : std::string(kOrphanFolder) + "/" + LostFolderName(c);
            TFatLongNameState ln;
            size_t guard = 0;
            for (uint32_t k = c; k && guard <= dirs_.size(); ++guard) {
                auto it = dirs_.find(k);
                if (it == dirs_.end()) break;
                DecodeCluster(k, it->second, &ln, &path);
                if (!it->second.Known && it->second.Verdict.Kind == TFatClusterKind::Continuation && folder)
                    ++result_.Stats.Joined;
                k = it->second.Next;
            }
        }
    }

    // Without a path: records folder names. With one: lists the cluster's entries.
    void DecodeCluster(uint32_t c, const TDirCluster& x, TFatLongNameState* carried, const std::string* path) {
        TFatLongNameState local;
        TFatLongNameState& ln = carried ? *carried : local;
        const int64_t base = view_.ClusterOffset ? view_.ClusterOffset(c) : 0;
        for (size_t i = 0; i + kDirEntrySize <= x.Bytes.size(); i += kDirEntrySize) {
            const ByteSpan e = ByteSpan(x.Bytes).subspan(i, kDirEntrySize);
            if (e[0] == kEntryEnd) break;
            if (e[0] == kEntryDot || (e[11] != kAttrLongName && (e[11] & kAttrVolumeLabel))) {
                ResetLongName(ln);
                continue;
            }
            if (e[11] == kAttrLongName) {
                AddLongNameEntry(ln, e);
                continue;
            }
            const std::string name = ResolveEntryName(ln, e, true).Name;
            ResetLongName(ln);
            if (name.empty() || IsDotName(name)) continue;
            if (!path) {
                const uint32_t start = EntryStartCluster(e);
                if ((e[11] & kAttrDirectory) && dirs_.count(start) && !folderNames_.count(start))
                    folderNames_[start] = {name, c};
                continue;
            }
            if (x.Known) continue;  // listed by the walk
            result_.Entries.push_back({*path, MakeFatDirItem(e, name, base + int64_t(i), true)});
        }
    }
};

} // namespace

TFatDeepResult RunFatDeepSweep(const TFatVolumeView& view, const TFatDeepInput& input, TReaderReport& report) {
    if (view.BytesPerCluster == 0 || view.BytesPerCluster % kDirEntrySize || !view.FatEntry || !view.ReadClusters)
        return {};
    return TDeepSweep(view, input, report).Run();
}

} // namespace brivo
