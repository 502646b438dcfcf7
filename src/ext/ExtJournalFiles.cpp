#include "ext/ExtJournalFiles.h"

#include <algorithm>
#include <cstring>
#include <optional>
#include <unordered_map>
#include <unordered_set>

#include "core/ClusterCondition.h"
#include "ext/ExtVolume.h"

namespace brivo {

namespace {

// A run of the journal inode, for the journal-block-to-volume-block lookup.
struct TJournalRuns {
    std::vector<TExtRun> Runs;
    bool Find(uint64_t index, uint64_t& block) const {
        auto it = std::upper_bound(Runs.begin(), Runs.end(), index,
                                   [](uint64_t i, const TExtRun& r) { return i < r.Logical; });
        if (it == Runs.begin()) return false;
        --it;
        if (index - it->Logical >= it->Count || it->Unwritten) return false;
        block = it->Physical + (index - it->Logical);
        return true;
    }
};

bool InUse(const TExtInode& i) {
    return i.Mode != 0 && i.Links > 0 && i.Dtime == 0 && (i.IsRegular() || i.IsDir() || i.IsSymlink());
}

} // namespace

std::shared_ptr<TExtJournal> OpenExtJournal(TExtVolume& vol) {
    auto j = std::make_shared<TExtJournal>();
    const TExtSuperblock& sb = vol.Super();
    if (!sb.HasCompat(ext_feature::kHasJournal) || sb.JournalInode == 0) return j;
    const auto inode = vol.ReadInode(sb.JournalInode);
    if (!inode || inode->HasInlineData()) return j;
    const TExtFileMap map = vol.FileMap(*inode);
    if (map.Runs.empty()) return j;
    auto runs = std::make_shared<TJournalRuns>();
    runs->Runs = map.Runs;
    std::sort(runs->Runs.begin(), runs->Runs.end(), [](const TExtRun& a, const TExtRun& b) { return a.Logical < b.Logical; });
    const uint32_t bs = vol.BlockSize();
    TExtVolume* v = &vol;
    auto scratch = std::make_shared<std::vector<uint8_t>>(bs);
    j->Read = [v, runs, scratch, bs](uint64_t index, std::span<uint8_t> out) {
        uint64_t block = 0;
        if (out.size() > bs || !runs->Find(index, block)) return false;
        if (out.size() == bs) return v->ReadBlock(block, out);
        if (!v->ReadBlock(block, *scratch)) return false;
        std::memcpy(out.data(), scratch->data(), out.size());
        return true;
    };
    j->Log = WalkJournal(inode->Size / bs, j->Read);
    j->Present = j->Log.Super.Valid && j->Log.Super.BlockSize == bs;
    if (!j->Present) j->Log.Copies.clear();
    return j;
}

TExtBlockReader ExtBlockReaderAt(TExtVolume& vol, std::shared_ptr<const TExtJournal> journal, uint32_t sequence) {
    TExtVolume* v = &vol;
    return [v, journal, sequence](uint64_t block, std::span<uint8_t> out) {
        if (journal && journal->Present) {
            for (const TJournalCopy& c : journal->Log.CopiesOf(block)) {
                if (!c.Committed || JournalSeqAfter(c.Sequence, sequence)) continue;
                if (ReadJournalCopy(c, journal->Read, out)) return true;
            }
        }
        return v->ReadBlock(block, out);
    };
}

std::vector<TExtJournalInode> ExtDeletedInodesFromJournal(TExtVolume& vol, std::shared_ptr<const TExtJournal> journal) {
    std::vector<TExtJournalInode> out;
    if (!journal || !journal->Present) return out;
    const TExtSuperblock& sb = vol.Super();
    const uint32_t bs = sb.BlockSize;
    if (sb.InodeSize == 0 || sb.InodeSize > bs || sb.InodesPerGroup == 0) return out;
    const uint32_t perBlock = bs / sb.InodeSize;
    const uint64_t tableBlocks = (uint64_t{sb.InodesPerGroup} + perBlock - 1) / perBlock;

    // Inode tables by their first block (with flex_bg they sit side by side).
    std::vector<std::pair<uint64_t, uint32_t>> tables;
    for (uint64_t g = 0; g < vol.Groups().size(); ++g)
        if (vol.Groups()[g].InodeTable != 0) tables.push_back({vol.Groups()[g].InodeTable, static_cast<uint32_t>(g)});
    std::sort(tables.begin(), tables.end());
    auto tableOf = [&](uint64_t block, uint32_t& group, uint64_t& index) {
        auto it = std::upper_bound(tables.begin(), tables.end(), std::make_pair(block, UINT32_MAX));
        if (it == tables.begin()) return false;
        --it;
        if (block - it->first >= tableBlocks) return false;
        group = it->second;
        index = block - it->first;
        return true;
    };

    struct TLive {
        bool Readable = false;
        bool DeletedNow = false;
        uint32_t Generation = 0;
        bool Unused = false;
    };
    // Each inode number lies in one inode-table block, and a block's copies are met
    // together: what is known of its slots is kept for that block only (a volume whose
    // tables the journal logged whole has millions of slots).
    std::vector<std::optional<TLive>> live(perBlock);
    // The inode-table block as it is now, read once for all its slots.
    std::vector<uint8_t> current(bs);
    bool currentOk = false;
    auto liveOf = [&](uint32_t n, uint32_t slot) -> const TLive& {
        if (live[slot]) return *live[slot];
        TLive l;
        const auto li = currentOk ? vol.DecodeInode(n, ByteSpan(current.data() + size_t{slot} * sb.InodeSize, sb.InodeSize))
                                  : vol.ReadInode(n);
        if (li) {
            l.Readable = true;
            l.Generation = li->Generation;
            l.Unused = li->IsUnused();
            if (!vol.IsInodeAllocated(n)) {
                const bool mapEmptied = li->Size == 0 && li->Blocks == 0;
                l.DeletedNow = li->Links == 0 || li->Dtime != 0 || mapEmptied;
            }
        }
        return *(live[slot] = l);
    };

    // What the next newer copy of its block said of a slot.
    struct TNewer {
        uint32_t Generation = 0;
        bool InUse = false;
        uint32_t Sequence = 0;
    };
    std::vector<std::optional<TNewer>> newer(perBlock);
    std::vector<bool> resolved(perBlock);
    std::vector<uint8_t> buf(bs), prev(bs);
    const auto& copies = journal->Log.Copies;
    for (size_t i = 0; i < copies.size();) {
        size_t end = i;
        while (end < copies.size() && copies[end].FsBlock == copies[i].FsBlock) ++end;
        uint32_t group = 0;
        uint64_t index = 0;
        if (tableOf(copies[i].FsBlock, group, index)) {
            currentOk = vol.ReadBlock(copies[i].FsBlock, current);
            std::fill(live.begin(), live.end(), std::nullopt);
            std::fill(newer.begin(), newer.end(), std::nullopt);
            std::fill(resolved.begin(), resolved.end(), false);
            bool havePrev = false;
            for (size_t k = i; k < end; ++k) {  // newest first
                const TJournalCopy& c = copies[k];
                if (!c.Committed || !ReadJournalCopy(c, journal->Read, buf)) continue;
                for (uint32_t s = 0; s < perBlock; ++s) {
                    const uint64_t slot = index * perBlock + s;
                    if (slot >= sb.InodesPerGroup) break;
                    const uint64_t n64 = uint64_t{group} * sb.InodesPerGroup + slot + 1;
                    if (n64 > sb.InodesCount || n64 < sb.FirstInode) continue;
                    const auto n = static_cast<uint32_t>(n64);
                    if (resolved[s]) continue;
                    const size_t at = size_t{s} * sb.InodeSize;
                    const ByteSpan raw(buf.data() + at, sb.InodeSize);
                    // A slot the newer copy held byte for byte decides nothing new (an inode
                    // in use there was taken or left then): only the state moves back to
                    // this older transaction.
                    if (havePrev && std::memcmp(buf.data() + at, prev.data() + at, sb.InodeSize) == 0) {
                        if (newer[s]) newer[s]->Sequence = c.Sequence;
                        continue;
                    }
                    const auto ci = DecodeExtInode(raw, sb, n);
                    if (!ci || !ci->ChecksumOk) continue;
                    const bool inUse = InUse(*ci);
                    const std::optional<TNewer> after = newer[s];
                    newer[s] = TNewer{ci->Generation, inUse, c.Sequence};
                    if (!inUse) continue;
                    const TLive& l = liveOf(n, s);
                    bool reused = false;
                    if (l.DeletedNow && (l.Unused || l.Generation == ci->Generation)) {
                        // Deleted now, and this is the same file.
                    } else if (l.Readable && l.Generation != ci->Generation && after &&
                               after->Generation == ci->Generation && !after->InUse) {
                        // Another file has the number now, but the journal saw this one
                        // deleted before that: its own content may still be in free blocks.
                        reused = true;
                    } else {
                        // Alive, or not proven deleted: older copies may still hold an
                        // earlier file of this number.
                        continue;
                    }
                    resolved[s] = true;
                    TExtJournalInode r;
                    r.Number = n;
                    r.Inode = *ci;
                    r.Sequence = c.Sequence;
                    r.NumberReused = reused;
                    if (after) {
                        r.GoneSequence = after->Sequence;
                        r.GoneKnown = true;
                    }
                    if (ci->HasInlineData()) r.InlineData = ExtInlineData(raw, *ci);
                    out.push_back(std::move(r));
                }
                prev.swap(buf);
                havePrev = true;
            }
        }
        i = end;
    }

    for (TExtJournalInode& r : out) {
        const TExtInode& ino = r.Inode;
        if (ino.HasInlineData() || ino.IsFastSymlink()) continue;
        TExtMapLimits limits;
        limits.BlocksCount = sb.BlocksCount;
        limits.MaxLogicalBlocks = (ino.Size + bs - 1) / bs;
        if (limits.MaxLogicalBlocks == 0) continue;
        const TExtBlockReader read = ExtBlockReaderAt(vol, journal, r.Sequence);
        r.Map = ino.UsesExtents() ? ExtExtentMap(ino.Block, bs, read, limits) : ExtBlockMap(ino.Block, bs, read, limits);
        for (const TExtRun& run : r.Map.Runs) {
            for (uint64_t b = 0; b < run.Count; ++b) {
                if (r.TestedBlocks >= static_cast<uint64_t>(kConditionSampleClusters)) {
                    r.Sampled = true;
                    break;
                }
                ++r.TestedBlocks;
                if (vol.IsBlockAllocated(run.Physical + b)) ++r.ReusedBlocks;
            }
            if (r.Sampled) break;
        }
    }
    std::sort(out.begin(), out.end(), [](const TExtJournalInode& a, const TExtJournalInode& b) { return a.Number < b.Number; });
    return out;
}

} // namespace brivo
