#include "ext/ExtLostDirs.h"

#include <algorithm>
#include <optional>
#include <set>
#include <unordered_map>

#include "core/Crc32c.h"
#include "ext/ExtDir.h"
#include "ext/ExtVolume.h"

namespace brivo {

namespace {

constexpr const char* kOrphanRoot = "/$OrphanFiles";
// Folders nest deeper than this only on a damaged volume: stop following ".." there.
constexpr int kMaxDepth = 256;
// Blocks of one live folder read for its names at most.
constexpr uint64_t kMaxLiveDirBlocks = 1u << 14;
// Names kept at most: a volume whose free space is all folder blocks still fits in memory.
constexpr uint64_t kMaxNames = uint64_t{1} << 23;
// Folder leaf blocks in free space looked at most (16 bytes each).
constexpr size_t kMaxLeaves = size_t{1} << 22;
// Free blocks read at a time by the sweep.
constexpr uint64_t kSweepChunk = 256;

bool PlausibleName(const std::string& n) {
    if (n.empty() || n.size() > 255 || n == "." || n == "..") return false;
    return n.find('/') == std::string::npos && n.find('\0') == std::string::npos;
}

} // namespace

TExtLostNames::TExtLostNames(TExtVolume& vol, std::shared_ptr<const TExtJournal> journal,
                             const std::vector<TExtJournalInode>& recovered, bool sweepFree,
                             const std::function<bool()>& stop)
    : vol_(vol), journal_(std::move(journal)) {
    const uint32_t bs = vol_.BlockSize();
    std::vector<uint8_t> buf(bs);
    TExtDirOptions opts;
    opts.FileType = vol_.Super().HasIncompat(ext_feature::kFiletype);
    opts.InodesCount = vol_.Super().InodesCount;
    const bool haveJournal = journal_ && journal_->Present;

    // The deleted folders the journal gave back: every version of each of their blocks.
    for (const TExtJournalInode& r : recovered) {
        if (!r.Inode.IsDir() || r.NumberReused) continue;
        deletedDirs_[r.Number] = true;
        if (r.Inode.Crtime.Present) crtimeOf_[r.Number] = r.Inode.Crtime.Seconds;
        uint64_t done = 0;
        for (const TExtRun& run : r.Map.Runs) {
            for (uint64_t b = 0; b < run.Count && done < kMaxLiveDirBlocks; ++b, ++done) {
                const uint64_t block = run.Physical + b;
                // A block allocated again now, or logged after the folder was gone, may
                // hold another folder's entries.
                if (!vol_.IsBlockAllocated(block) && vol_.ReadBlock(block, buf)) AddBlock(buf, r.Number);
                if (!haveJournal) continue;
                for (const TJournalCopy& c : journal_->Log.CopiesOf(block)) {
                    if (!c.Committed || (r.GoneKnown && JournalSeqAfter(c.Sequence, r.GoneSequence))) continue;
                    if (ReadJournalCopy(c, journal_->Read, buf)) AddBlock(buf, r.Number, &c);
                }
            }
        }
    }

    // Journal copies that start a folder, whatever folder: the names its entries had then.
    if (haveJournal) {
        for (const TJournalCopy& c : journal_->Log.Copies) {
            if (!c.Committed || !ReadJournalCopy(c, journal_->Read, buf)) continue;
            uint32_t self = 0, parent = 0;
            if (LooksLikeExtDirStart(buf, opts, &self, &parent)) AddBlock(buf, self, &c);
        }
    }

    // Free blocks that start a folder: removed folders the journal no longer holds.
    if (sweepFree) {
        const uint64_t total = vol_.BlocksCount();
        std::vector<uint8_t> chunk;
        // Leaf blocks of a hashed folder hold no "." to say whose they are.
        const bool withSums = vol_.Super().HasMetadataCsum() && bs > 12;
        std::vector<TLeaf> leaves;
        uint64_t b = vol_.Super().FirstDataBlock;
        for (uint64_t step = 0; b < total; ++step) {
            if (stop && (step & 0x3FF) == 0 && stop()) break;
            if (vol_.IsBlockAllocated(b)) {
                ++b;
                continue;
            }
            uint64_t n = 1;
            while (n < kSweepChunk && b + n < total && !vol_.IsBlockAllocated(b + n)) ++n;
            chunk.resize(n * bs);
            if (vol_.ReadBlocks(b, n, chunk)) {
                for (uint64_t i = 0; i < n; ++i) {
                    const ByteSpan one(chunk.data() + i * bs, bs);
                    uint32_t self = 0, parent = 0;
                    if (LooksLikeExtDirStart(one, opts, &self, &parent)) AddBlock(one, self);
                    else if (withSums && leaves.size() < kMaxLeaves) NoteLeaf(one, b + i, leaves);
                }
            }
            b += n;
        }
        PlaceLeaves(leaves);
    }
}

void TExtLostNames::NoteLeaf(ByteSpan block, uint64_t at, std::vector<TLeaf>& leaves) const {
    const size_t bs = block.size();
    if (bs < 24 || ReadLe32(block, static_cast<int64_t>(bs - 12)) != 0 || ReadLe16(block, static_cast<int64_t>(bs - 8)) != 12 ||
        block[bs - 6] != 0 || block[bs - 5] != 0xDE)
        return;
    TExtDirOptions opts;
    opts.FileType = vol_.Super().HasIncompat(ext_feature::kFiletype);
    opts.InodesCount = vol_.Super().InodesCount;
    const TExtDirBlock d = DecodeExtDirBlock(block, opts);
    if (!d.Valid || d.IsHtreeNode || !d.HasTail) return;
    // The sum is linear in its starting value: the block's own part now, the folder's
    // (number and generation over as many zeros) later.
    leaves.push_back({at, d.TailChecksum ^ Crc32c(0, block.subspan(0, bs - 12))});
}

void TExtLostNames::PlaceLeaves(const std::vector<TLeaf>& leaves) {
    if (leaves.empty()) return;
    const uint32_t bs = vol_.BlockSize();
    const std::vector<uint8_t> zeros(bs, 0);
    const uint32_t seed = ExtCsumSeed(vol_.Super());
    // Removed folders: their own first block or the journal named them.
    std::set<uint32_t> dirs;
    for (const auto& [dir, parent] : parentOf_) dirs.insert(dir);
    for (const auto& [dir, deleted] : deletedDirs_) dirs.insert(dir);
    std::unordered_map<uint32_t, uint32_t> bySum;  // 0: two folders share it, no proof
    for (uint32_t dir : dirs) {
        if (LiveDir(dir)) continue;
        const auto ino = vol_.ReadInode(dir);
        if (!ino || (ino->Mode != 0 && !ino->IsDir())) continue;
        const uint32_t sum = ExtDirBlockChecksum(zeros, seed, dir, ino->Generation);
        const auto [it, fresh] = bySum.emplace(sum, dir);
        if (!fresh) it->second = 0;
    }
    std::vector<uint8_t> buf(bs);
    for (const TLeaf& l : leaves) {
        const auto it = bySum.find(l.Want);
        if (it == bySum.end() || it->second == 0 || !vol_.ReadBlock(l.Block, buf)) continue;
        AddBlock(buf, it->second);
        ++leavesPlaced_;
    }
}

void TExtLostNames::AddBlock(ByteSpan block, uint32_t dir, const TJournalCopy* from) {
    TExtDirOptions opts;
    opts.FileType = vol_.Super().HasIncompat(ext_feature::kFiletype);
    opts.InodesCount = vol_.Super().InodesCount;
    opts.WithDeleted = true;
    const TExtDirBlock d = DecodeExtDirBlock(block, opts);
    // Only a block whose record chain covers it exactly: a freed block written over by
    // file data may still decode as a few entries.
    if (d.IsHtreeNode || !d.Valid) return;
    // A folder's first block says whose it is.
    if (!d.Entries.empty() && d.Entries[0].Name == "." && d.Entries[0].Inode != 0) dir = d.Entries[0].Inode;
    ++dirBlocks_;
    for (const TExtDirEntry& e : d.Entries) {
        if (e.Inode == 0) continue;
        if (e.Name == ".") continue;
        if (e.Name == "..") {
            if (!e.Deleted && e.Offset <= 12) parentOf_.try_emplace(dir, e.Inode);
            continue;
        }
        if (!PlausibleName(e.Name) || e.Inode == dir || names_ >= kMaxNames) continue;
        if (from && !e.Deleted) {
            auto& names = logged_[e.Inode];
            if (names.size() < 16) {
                names.push_back({from->Sequence, dir, e.Type, e.Name});
                ++names_;
            }
        }
        auto& list = byInode_[e.Inode];
        bool seen = false;
        for (TExtNaming& n : list) {
            if (n.Dir == dir && n.Name == e.Name) {
                // A live entry in one version wins over the same entry deleted in another.
                n.Deleted = n.Deleted && e.Deleted;
                seen = true;
                break;
            }
        }
        if (!seen && list.size() < 64) {
            list.push_back({e.Name, dir, e.Inode, e.Type, e.Deleted});
            ++names_;
        }
    }
}

bool TExtLostNames::LiveDir(uint32_t dir) {
    if (dir == kExtRootInode) return true;
    if (deletedDirs_.count(dir)) return false;
    auto it = liveState_.find(dir);
    if (it != liveState_.end()) return it->second == 1;
    bool live = false;
    if (vol_.IsInodeAllocated(dir)) {
        const auto ino = vol_.ReadInode(dir);
        live = ino && ino->IsDir() && ino->Links > 0 && ino->Dtime == 0;
    }
    liveState_[dir] = live ? 1 : 2;
    return live;
}

bool TExtLostNames::NamedIn(uint32_t parent, uint32_t child) const {
    const auto it = byInode_.find(child);
    if (it == byInode_.end()) return false;
    for (const TExtNaming& n : it->second)
        if (n.Dir == parent) return true;
    return false;
}

const TExtNaming* TExtLostNames::BestNaming(uint32_t inode, bool isDir, uint32_t preferredDir) const {
    const auto it = byInode_.find(inode);
    if (it == byInode_.end()) return nullptr;
    const TExtNaming* best = nullptr;
    int bestScore = -1;
    for (const TExtNaming& n : it->second) {
        // With the filetype feature an entry says what it named: a file's number that
        // once named a folder (or the other way round) is another object.
        if (n.Type != 0 && ((n.Type == 2) != isDir)) continue;
        int score = 0;
        if (preferredDir != 0 && n.Dir == preferredDir) score += 4;
        if (n.Deleted || deletedDirs_.count(n.Dir)) score += 2;
        if (score > bestScore) {
            best = &n;
            bestScore = score;
        }
    }
    return best;
}

void TExtLostNames::ScanLiveDir(uint32_t dir) {
    if (liveScanned_[dir]) return;
    liveScanned_[dir] = true;
    const auto ino = vol_.ReadInode(dir);
    if (!ino || !ino->IsDir()) return;
    const TExtFileMap map = vol_.FileMap(*ino);
    std::vector<uint8_t> buf(vol_.BlockSize());
    uint64_t done = 0;
    for (const TExtRun& run : map.Runs)
        for (uint64_t b = 0; b < run.Count && done < kMaxLiveDirBlocks; ++b, ++done)
            if (!run.Unwritten && vol_.ReadBlock(run.Physical + b, buf)) AddBlock(buf, dir);
}

std::string TExtLostNames::LivePath(uint32_t dir, int depth) {
    if (dir == kExtRootInode) return "";
    const auto it = livePaths_.find(dir);
    if (it != livePaths_.end()) return it->second;
    const std::string orphan = std::string(kOrphanRoot) + "/Folder " + std::to_string(dir);
    livePaths_[dir] = orphan;  // what a loop of ".." ends at
    if (depth > kMaxDepth) return orphan;
    ScanLiveDir(dir);
    const auto p = parentOf_.find(dir);
    if (p == parentOf_.end() || !LiveDir(p->second)) return orphan;
    ScanLiveDir(p->second);
    const auto named = byInode_.find(dir);
    if (named == byInode_.end()) return orphan;
    for (const TExtNaming& n : named->second) {
        if (n.Dir != p->second || n.Deleted) continue;
        const std::string path = LivePath(p->second, depth + 1) + "/" + n.Name;
        livePaths_[dir] = path;
        return path;
    }
    return orphan;
}

std::string TExtLostNames::Path(uint32_t dir, int depth) {
    if (dir == kExtRootInode) return "";
    if (LiveDir(dir)) return LivePath(dir, depth);
    const auto it = paths_.find(dir);
    if (it != paths_.end()) return it->second;
    const std::string placeholder = std::string(kOrphanRoot) + "/Folder " + std::to_string(dir);
    paths_[dir] = placeholder;
    if (depth > kMaxDepth) return placeholder;

    uint32_t parent = 0;
    if (const auto p = parentOf_.find(dir); p != parentOf_.end()) parent = p->second;
    // The entry that named a removed folder is a gap in its live parent's blocks (the root
    // too): read them before choosing a name.
    if (parent != 0 && parent != dir && LiveDir(parent)) ScanLiveDir(parent);
    const TExtNaming* naming = BestNaming(dir, true, parent);
    if (parent == 0 && naming) parent = naming->Dir;
    const std::string name = naming ? naming->Name : "Folder " + std::to_string(dir);

    std::string base = kOrphanRoot;
    if (parent != 0 && parent != dir) {
        if (LiveDir(parent)) {
            // A live folder may only reuse the number of the one this folder was in. The
            // creation times decide where both are known: the folder it was in existed
            // before it. Otherwise it is the same folder when it names this one (in any
            // version of its blocks), or when the journal never saw another file of that
            // number.
            LivePath(parent, depth + 1);  // reads its blocks
            const auto live = vol_.ReadInode(parent);
            const std::optional<int64_t> born = CreatedAt(dir);
            bool same;
            if (born && live && live->Crtime.Present && live->Crtime.Seconds != 0)
                same = live->Crtime.Seconds <= *born;
            else
                same = NamedIn(parent, dir) || (live && !JournalSawOtherGeneration(parent, live->Generation));
            if (same) base = LivePath(parent, depth + 1);
        } else {
            base = Path(parent, depth + 1);
        }
    }
    const std::string path = base + "/" + name;
    paths_[dir] = path;
    return path;
}

std::optional<int64_t> TExtLostNames::CreatedAt(uint32_t dir) {
    if (const auto it = crtimeOf_.find(dir); it != crtimeOf_.end()) return it->second;
    // A deleted inode keeps its times: they are this folder's unless the number was given
    // out again (then it is allocated, or a folder no more).
    if (vol_.IsInodeAllocated(dir)) return std::nullopt;
    const auto ino = vol_.ReadInode(dir);
    if (!ino || !ino->IsDir() || !ino->Crtime.Present || ino->Crtime.Seconds == 0) return std::nullopt;
    return ino->Crtime.Seconds;
}

bool TExtLostNames::JournalSawOtherGeneration(uint32_t n, uint32_t generation) {
    if (!journal_ || !journal_->Present) return false;
    uint64_t block = 0;
    uint32_t offset = 0;
    if (!vol_.InodeLocation(n, block, offset)) return false;
    std::vector<uint8_t> buf(vol_.BlockSize());
    const uint32_t size = vol_.Super().InodeSize;
    for (const TJournalCopy& c : journal_->Log.CopiesOf(block)) {
        if (!c.Committed || !ReadJournalCopy(c, journal_->Read, buf) || offset + size > buf.size()) continue;
        const auto ino = DecodeExtInode(ByteSpan(buf.data() + offset, size), vol_.Super(), n);
        if (ino && ino->ChecksumOk && ino->Mode != 0 && ino->Generation != generation) return true;
    }
    return false;
}

std::string TExtLostNames::FolderPath(uint32_t dir) { return Path(dir, 0); }

std::string TExtLostNames::PathOf(uint32_t inode, bool isDir) {
    if (isDir) return byInode_.count(inode) || parentOf_.count(inode) ? Path(inode, 0) : std::string();
    const TExtNaming* n = BestNaming(inode, false, 0);
    if (!n) return {};
    return Path(n->Dir, 0) + "/" + n->Name;
}

std::string TExtLostNames::PathAt(uint32_t inode, uint32_t sequence) {
    const auto it = logged_.find(inode);
    if (it == logged_.end()) return {};
    const TLoggedName* best = nullptr;
    for (const TLoggedName& n : it->second) {
        if (n.Type == 2 || JournalSeqAfter(n.Sequence, sequence)) continue;
        if (!best || JournalSeqAfter(n.Sequence, best->Sequence)) best = &n;
    }
    return best ? Path(best->Dir, 0) + "/" + best->Name : std::string();
}

std::vector<uint32_t> TExtLostNames::LostFolders() {
    std::set<uint32_t> out;
    std::vector<uint32_t> dirs;
    for (const auto& [dir, parent] : parentOf_) dirs.push_back(dir);
    for (uint32_t dir : dirs)
        if (!LiveDir(dir)) out.insert(dir);
    return {out.begin(), out.end()};
}

const TExtNaming* TExtLostNames::NamingInRemovedFolder(uint32_t inode, const std::vector<TExtNaming>& list) {
    for (const TExtNaming& n : list) {
        if (n.Type == 2 || LiveDir(n.Dir)) continue;
        return vol_.IsInodeAllocated(inode) ? nullptr : &n;
    }
    return nullptr;
}

void TExtLostNames::Drop() {
    byInode_ = {};
    parentOf_ = {};
    crtimeOf_ = {};
    deletedDirs_ = {};
    liveState_ = {};
    livePaths_ = {};
    paths_ = {};
    liveScanned_ = {};
    logged_ = {};
}

size_t TExtLostNames::CountNamesInRemovedFolders() {
    size_t count = 0;
    for (const auto& [inode, list] : byInode_)
        if (NamingInRemovedFolder(inode, list)) ++count;
    return count;
}

void TExtLostNames::ForEachNameInRemovedFolders(const std::function<void(const TExtNaming&)>& each) {
    std::vector<uint32_t> inodes;
    inodes.reserve(byInode_.size());
    for (const auto& [inode, list] : byInode_) inodes.push_back(inode);
    std::sort(inodes.begin(), inodes.end());
    for (uint32_t inode : inodes) {
        // A copy: placing the folder may read live folders, whose entries join the lists.
        const TExtNaming* n = NamingInRemovedFolder(inode, byInode_.find(inode)->second);
        if (!n) continue;
        const TExtNaming first = *n;
        each(first);
    }
}

} // namespace brivo
