#include "ext/ExtJournalScan.h"

#include <algorithm>
#include <set>
#include <unordered_set>

#include "core/ClusterCondition.h"
#include "core/DateConvert.h"
#include "ext/ExtJournalFiles.h"
#include "ext/ExtLostDirs.h"
#include "ext/ExtVolume.h"

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

} // namespace

TExtRecovered ExtRecoverFromJournal(TExtVolume& vol, bool sweepFree,
                                    const std::function<std::string(const std::string&)>& translate,
                                    const std::function<bool()>& stop) {
    TExtRecovered out;
    const std::shared_ptr<const TExtJournal> journal = OpenExtJournal(vol);
    out.JournalPresent = journal->Present;
    out.JournalCopies = journal->Log.Copies.size();
    out.JournalTransactions = journal->Log.Transactions;
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
            folders.insert(names.FolderPath(r.Number));
            continue;
        }
        if (!r.Inode.IsRegular()) continue;
        std::string path = names.PathOf(r.Number, false);
        if (path.empty()) path = "/$OrphanFiles/OrphanFile-" + std::to_string(r.Number);
        TFoundFile f;
        f.Inode = std::to_string(r.Number);
        f.FullPath = path;
        f.IsDeleted = true;
        f.FileType = "r/r";
        f.SizeBytes = static_cast<int64_t>(std::min<uint64_t>(r.Inode.Size, INT64_MAX));
        f.HasModDate = r.Inode.Mtime.Seconds != 0;
        f.ModDateUtc = f.HasModDate ? ExtTimeToUtc(r.Inode.Mtime) : 0;
        if (r.Inode.Size > 0 && !ByteExtents(r.Map, r.Inode.Size, bs, f.Extents)) {
            ++out.WithoutWholeMap;
            out.NamesOnly.push_back({r.Number, path, vol.GroupOfInode(r.Number)});
            continue;
        }
        const TClusterCondition c = ConditionFromReuse(static_cast<int64_t>(r.TestedBlocks),
                                                       static_cast<int64_t>(r.ReusedBlocks), r.Sampled, translate);
        f.DamageText = c.Text;
        f.DamageScore = c.Score;
        out.Found.push_back(std::move(f));
    }
    for (uint32_t d : names.LostFolders()) folders.insert(names.FolderPath(d));
    for (const TExtNaming& n : names.NamesInRemovedFolders()) {
        if (brought.count(n.Inode)) continue;
        out.NamesOnly.push_back({n.Inode, names.FolderPath(n.Dir) + "/" + n.Name, vol.GroupOfInode(n.Inode)});
    }
    folders.erase("");
    out.DeletedFolders.assign(folders.begin(), folders.end());
    return out;
}

} // namespace brivo
