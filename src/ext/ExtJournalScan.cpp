#include "ext/ExtJournalScan.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <optional>
#include <set>
#include <unordered_set>
#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "core/ClusterCondition.h"
#include "core/DateConvert.h"
#include "ext/ExtJournalFiles.h"
#include "ext/ExtLostDirs.h"
#include "ext/ExtVolume.h"
#include "filters/Masks.h"
#include "filters/SyntheticPath.h"
#include "filters/Wildcard.h"

namespace brivo {

namespace {

// The content as byte extents in file order, cut to the size; false when the map does not
// cover the file with written blocks from its first byte (holes and preallocated blocks
// read as zeros, which extents cannot say).
bool ByteExtents(const TExtFileMap& map, uint64_t size, uint32_t bs, std::vector<TByteExtent>& out) {
    if (!map.Complete) return false;
    std::vector<TExtRun> runs = map.Runs;
    std::sort(runs.begin(), runs.end(), [](const TExtRun& a, const TExtRun& b) { return a.Logical < b.Logical; });
    uint64_t next = 0, left = size;
    for (const TExtRun& r : runs) {
        if (left == 0) break;
        if (r.Logical != next || r.Unwritten || r.Count == 0) return false;
        const uint64_t bytes = std::min<uint64_t>(left, r.Count * uint64_t{bs});
        if (!out.empty() && out.back().Offset + out.back().Length == r.Physical * bs)
            out.back().Length += bytes;
        else
            out.push_back({r.Physical * bs, bytes});
        left -= bytes;
        next += r.Count;
    }
    return left == 0;
}

TDateTime ExtTimeToUtc(const TExtTime& t) {
    return UnixToUtc(t.Seconds) + static_cast<double>(t.Nanos) / 1e9 / 86400.0;
}

// A name without bytes is listed at its inode's address, and a copy by that address
// reads the inode as it is now: only a regular file's inode (or a cleared one) qualifies,
// and the size listed is the one that copy gives.
std::optional<uint64_t> NameOnlySize(TExtVolume& vol, uint32_t n) {
    const auto ino = vol.ReadInode(n);
    if (!ino || vol.IsInodeAllocated(n) || vol.InodeSlotUninit(n)) return std::nullopt;
    if (ino->Mode == 0) return 0;
    if (!ino->IsRegular() || ino->HasInlineData()) return std::nullopt;
    return ino->Size;
}

TExtNameOnly NameOnly(const TExtVolume& vol, uint32_t inode, std::string path, uint64_t size, uint64_t provenSize) {
    return {inode, static_cast<uint32_t>(vol.GroupOfInode(inode)), std::move(path), size, provenSize};
}

// The blocks of a block group, as volume bytes.
TByteExtent GroupArea(const TExtRecovered& rec, uint32_t group) {
    const uint64_t first = rec.FirstGroupAt + uint64_t{group} * rec.GroupBytes;
    if (first >= rec.VolumeBytes) return {};
    return {first, std::min(rec.GroupBytes, rec.VolumeBytes - first)};
}

constexpr std::string_view kOrphans = "/$OrphanFiles/";

bool Orphaned(const std::string& path) { return path.rfind(kOrphans, 0) == 0; }

// An ext address: the inode number in decimal.
bool InodeNumber(const std::string& address, uint32_t& n) {
    const char* end = address.data() + address.size();
    const auto [at, ec] = std::from_chars(address.data(), end, n);
    return ec == std::errc{} && at == end;
}

// What the cleanup filter judges: below a lost folder's made-up place only the part its
// own names give (the made-up prefix is no noise); an inode no entry named, whole.
std::string_view CleanupPart(const std::string& path) {
    if (!Orphaned(path)) return path;
    const size_t slash = path.find('/', kOrphans.size());
    return slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash);
}

} // namespace

TExtRecovered ExtRecoverFromJournal(TExtVolume& vol, bool sweepFree,
                                    const std::function<std::string(const std::string&)>& translate,
                                    const std::function<bool()>& stop) {
    TExtRecovered out;
    const TExtSuperblock& sb = vol.Super();
    out.FirstGroupAt = uint64_t{sb.FirstDataBlock} * vol.BlockSize();
    out.GroupBytes = uint64_t{sb.BlocksPerGroup} * vol.BlockSize();
    out.VolumeBytes = uint64_t{sb.BlocksCount} * vol.BlockSize();
    const std::shared_ptr<const TExtJournal> journal = OpenExtJournal(vol);
    out.JournalPresent = journal->Present;
    out.JournalCopies = journal->Log.Copies.size();
    out.JournalTransactions = journal->Log.Transactions;
    out.JournalSumsChecked = journal->Log.ChecksumsChecked;
    out.JournalBadCopySums = journal->Log.BadCopySums;
    out.JournalBadDescriptorSums = journal->Log.BadDescriptorSums;
    out.JournalBadCommitSums = journal->Log.BadCommitSums;
    out.JournalBadRevokeSums = journal->Log.BadRevokeSums;
    out.JournalSuperSumOk = journal->Log.Super.ChecksumOk;
    const std::vector<TExtJournalInode> inodes = ExtDeletedInodesFromJournal(vol, journal);
    out.InodesFromJournal = inodes.size();
    TExtLostNames names(vol, journal, inodes, sweepFree, stop);
    out.DirBlocks = names.DirBlocksFound();

    const uint32_t bs = vol.BlockSize();
    std::unordered_set<uint32_t> brought;
    std::set<std::string> folders;
    for (const TExtJournalInode& r : inodes) {
        brought.insert(r.Number);
        if (r.Inode.IsDir()) {
            if (!r.NumberReused) folders.insert(names.FolderPath(r.Number));
            continue;
        }
        if (!r.Inode.IsRegular()) continue;
        // The entries that name the number now name the newer file: only what the journal
        // held before this one was deleted names it.
        std::string path = r.NumberReused ? names.PathAt(r.Number, r.GoneSequence) : names.PathOf(r.Number, false);
        if (!r.NumberReused) out.Inodes[r.Number] = r.Inode;
        if (path.empty()) path = "/$OrphanFiles/OrphanFile-" + std::to_string(r.Number);
        TFoundFile f;
        f.Inode = std::to_string(r.Number);
        f.FullPath = path;
        f.IsDeleted = true;
        f.FileType = "r/r";
        f.SizeBytes = static_cast<int64_t>(std::min<uint64_t>(r.Inode.Size, INT64_MAX));
        f.HasModDate = r.Inode.Mtime.Seconds != 0;
        f.ModDateUtc = f.HasModDate ? ExtTimeToUtc(r.Inode.Mtime) : 0;
        f.HasCreateDate = r.Inode.Crtime.Present && r.Inode.Crtime.Seconds != 0;
        f.CreateDateUtc = f.HasCreateDate ? ExtTimeToUtc(r.Inode.Crtime) : 0;
        if (r.Inode.Size > 0 && !ByteExtents(r.Map, r.Inode.Size, bs, f.Extents)) {
            ++out.WithoutWholeMap;
            // The journal's copy still says how long the file was.
            if (const auto size = NameOnlySize(vol, r.Number))
                out.NamesOnly.push_back(NameOnly(vol, r.Number, std::move(path), *size, r.Inode.Size));
            continue;
        }
        const TClusterCondition c = ConditionFromReuse(static_cast<int64_t>(r.TestedBlocks),
                                                       static_cast<int64_t>(r.ReusedBlocks), r.Sampled, translate);
        f.DamageText = c.Text;
        f.DamageScore = c.Score;
        out.Found.push_back(std::move(f));
    }
    for (uint32_t d : names.LostFolders()) folders.insert(names.FolderPath(d));

    // The names without bytes of a removed tree are most of what a scan lists. Noted
    // compactly first (the folders' paths once, the names in one buffer), so that once the
    // names and their lists are dropped their paths are made side by side in memory, not
    // in the holes between what was dropped.
    struct TStaged {
        uint32_t Inode, Folder;
        uint64_t Size;
        uint32_t NameAt, NameLength;
    };
    std::vector<TStaged> staged;
    staged.reserve(names.CountNamesInRemovedFolders());
    std::string nameBytes;
    std::vector<std::string> folderPaths;
    std::unordered_map<uint32_t, uint32_t> folderOf;
    names.ForEachNameInRemovedFolders([&](const TExtNaming& n) {
        if (brought.count(n.Inode) || nameBytes.size() + n.Name.size() > UINT32_MAX) return;
        const auto size = NameOnlySize(vol, n.Inode);
        if (!size) return;
        const auto [at, fresh] = folderOf.try_emplace(n.Dir, static_cast<uint32_t>(folderPaths.size()));
        if (fresh) folderPaths.push_back(names.FolderPath(n.Dir));
        staged.push_back({n.Inode, at->second, *size, static_cast<uint32_t>(nameBytes.size()), static_cast<uint32_t>(n.Name.size())});
        nameBytes += n.Name;
    });
    names.Drop();
#ifdef __GLIBC__
    // Hand the dropped names' pages back before the list grows.
    malloc_trim(0);
#endif
    out.NamesOnly.reserve(out.NamesOnly.size() + staged.size());
    for (const TStaged& n : staged) {
        const std::string& folder = folderPaths[n.Folder];
        std::string path;
        path.reserve(folder.size() + 1 + n.NameLength);
        path += folder;
        path += '/';
        path.append(nameBytes, n.NameAt, n.NameLength);
        out.NamesOnly.push_back(NameOnly(vol, n.Inode, std::move(path), n.Size, n.Size));
    }
    folders.erase("");
    out.DeletedFolders.assign(folders.begin(), folders.end());
    return out;
}

std::function<std::optional<TExtInode>(uint32_t)> ExtJournalHistory(const TExtRecovered& rec) {
    return [&rec](uint32_t n) -> std::optional<TExtInode> {
        const auto it = rec.Inodes.find(n);
        if (it == rec.Inodes.end()) return std::nullopt;
        return it->second;
    };
}

void AddExtJournalResults(TExtRecovered rec, const TReaderOptions& opts, TReaderReport& report, TReaderResult& r) {
    const bool emptyIsNoise = IsDefaultMaskList(opts.Masks);
    enum THide { Shown, ByCleanup, ByMasks };
    auto hide = [&](const std::string& path, int64_t size) {
        if (opts.Cleanup && ((size == 0 && emptyIsNoise) || IsSyntheticPath(CleanupPart(path), TScanWhere::swDisk)))
            return ByCleanup;
        if (!opts.Masks.empty() && !MatchesAnyMask(path, opts.Masks)) return ByMasks;
        return Shown;
    };
    auto hidden = [&](const std::string& path, int64_t size) {
        const THide h = hide(path, size);
        if (h == ByCleanup) ++r.HiddenByCleanup;
        if (h == ByMasks) ++r.HiddenByMasks;
        return h != Shown;
    };
    // The results listed so far by inode number (ext addresses are numbers), sorted: 8
    // bytes a result where a removed tree gives hundreds of thousands.
    using TListed = std::vector<std::pair<uint32_t, uint32_t>>;
    TListed listed;
    auto index = [&](size_t from) {
        for (size_t i = from; i < r.Found.size(); ++i) {
            uint32_t n = 0;
            if (InodeNumber(r.Found[i].Inode, n)) listed.emplace_back(n, static_cast<uint32_t>(i));
        }
        std::sort(listed.begin(), listed.end());
    };
    auto find = [&](uint32_t n) -> TFoundFile* {
        const auto it = std::lower_bound(listed.begin(), listed.end(), std::make_pair(n, uint32_t{0}));
        return it != listed.end() && it->first == n ? &r.Found[it->second] : nullptr;
    };
    const size_t scanned = r.Found.size();
    index(0);
    // The list grows once, to what it keeps: the names of a removed tree are most of it.
    size_t adding = 0;
    for (const TFoundFile& f : rec.Found) {
        uint32_t n = 0;
        if (!(InodeNumber(f.Inode, n) && find(n)) && hide(f.FullPath, f.SizeBytes) == Shown) ++adding;
    }
    for (const TExtNameOnly& n : rec.NamesOnly)
        if (hide(n.Path, static_cast<int64_t>(std::min<uint64_t>(n.Size, INT64_MAX))) == Shown) ++adding;
    r.Found.reserve(scanned + adding);

    uint64_t joined = 0, added = 0;
    for (TFoundFile& f : rec.Found) {
        uint32_t n = 0;
        if (TFoundFile* mine = InodeNumber(f.Inode, n) ? find(n) : nullptr) {
            // The scan named it from a live folder and read the journal's inode, but the
            // map of that inode needs the journal's copies of its index or indirect blocks.
            std::string path = Orphaned(mine->FullPath) && !Orphaned(f.FullPath) ? std::move(f.FullPath) : std::move(mine->FullPath);
            *mine = std::move(f);
            mine->FullPath = std::move(path);
            ++joined;
            continue;
        }
        if (hidden(f.FullPath, f.SizeBytes)) continue;
        if (opts.Deep && !f.Extents.empty()) r.KnownStarts.push_back(f.Extents.front().Offset);
        r.Found.push_back(std::move(f));
        ++added;
    }
    rec.Found = TFoundFiles();
    index(scanned);
    uint32_t highest = 0;
    for (const TExtNameOnly& n : rec.NamesOnly) highest = std::max(highest, n.Inode);
    std::vector<bool> seen(rec.NamesOnly.empty() ? 0 : size_t{highest} + 1, false);
    for (TExtNameOnly& n : rec.NamesOnly) {
        if (seen[n.Inode]) continue;
        seen[n.Inode] = true;
        if (TFoundFile* theirs = find(n.Inode)) {
            // An inode the scan listed as an orphan (its map still there) gets its name.
            if (Orphaned(theirs->FullPath) && !Orphaned(n.Path) && (opts.Masks.empty() || MatchesAnyMask(n.Path, opts.Masks)))
                theirs->FullPath = std::move(n.Path);
            continue;
        }
        TFoundFile f;
        f.Inode = std::to_string(n.Inode);
        f.FullPath = std::move(n.Path);
        f.FileType = "r/r";
        f.SizeBytes = static_cast<int64_t>(std::min<uint64_t>(n.Size, INT64_MAX));
        // Only a name of a kind the content search finds can have anything beside it.
        const bool besideContent = opts.Deep && opts.FoundByContent && opts.FoundByContent(f.FullPath);
        const TByteExtent area = besideContent ? GroupArea(rec, n.Group) : TByteExtent{};
        // Hidden as an empty file, it still goes to the content search, which lists it
        // when it finds something beside it.
        const bool onlyEmpty = opts.Cleanup && f.SizeBytes == 0 && emptyIsNoise &&
                               !IsSyntheticPath(CleanupPart(f.FullPath), TScanWhere::swDisk) &&
                               (opts.Masks.empty() || MatchesAnyMask(f.FullPath, opts.Masks));
        if (besideContent && onlyEmpty) {
            ++r.HiddenByCleanup;
            r.NamesWithoutContent.push_back({TNameWithoutContent::kNotListed, std::move(f), area, n.ProvenSize});
            continue;
        }
        if (hidden(f.FullPath, f.SizeBytes)) continue;
        if (besideContent) r.NamesWithoutContent.push_back({r.Found.size(), TFoundFile{}, area, n.ProvenSize});
        r.Found.push_back(std::move(f));
    }
    std::set<std::string> folders(r.DeletedFolders.begin(), r.DeletedFolders.end());
    for (const std::string& d : rec.DeletedFolders)
        if (folders.insert(d).second) r.DeletedFolders.push_back(d);
    if (rec.JournalPresent)
        report.Log("ext journal: " + std::to_string(rec.JournalTransactions) + " transactions, " +
                   std::to_string(rec.JournalCopies) + " block copies, " + std::to_string(rec.InodesFromJournal) +
                   " deleted inodes kept, " + std::to_string(added + joined) + " files with their content (" +
                   std::to_string(joined) + " named by the live folders), " + std::to_string(rec.DirBlocks) +
                   " folder blocks, " + std::to_string(rec.NamesOnly.size()) + " names without content");
    const uint64_t badSums = rec.JournalBadCopySums + rec.JournalBadDescriptorSums + rec.JournalBadCommitSums +
                             rec.JournalBadRevokeSums;
    if (badSums != 0 || !rec.JournalSuperSumOk)
        report.Log("ext journal checksums that did not match: " + std::to_string(badSums) + " of " +
                   std::to_string(rec.JournalSumsChecked) + " (" + std::to_string(rec.JournalBadCopySums) +
                   " block copies, " + std::to_string(rec.JournalBadDescriptorSums) + " descriptor, " +
                   std::to_string(rec.JournalBadCommitSums) + " commit and " + std::to_string(rec.JournalBadRevokeSums) +
                   " revoke blocks), not used" + (rec.JournalSuperSumOk ? "" : "; the journal superblock's too"));
    if (!rec.JournalPresent && rec.DirBlocks != 0)
        report.Log("ext free blocks: " + std::to_string(rec.DirBlocks) + " folder blocks, " +
                   std::to_string(rec.NamesOnly.size()) + " names without content");
}

} // namespace brivo
