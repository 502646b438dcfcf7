#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "ext/ExtJournalFiles.h"

namespace brivo {

class TExtVolume;

// One entry that named an inode in a folder (the folder's inode number).
struct TExtNaming {
    std::string Name;  // first, so the small fields pack: a removed tree gives one per file
    uint32_t Dir = 0;
    uint32_t Inode = 0;
    uint8_t Type = 0;
    bool Deleted = false;
};

// The names the removed folders and the journal still hold, and where the folders go.
class TExtLostNames {
public:
    // Gathers directory blocks: those of the deleted folders the journal gave back (every
    // version: as they are now, and each journal copy), every journal copy that starts a
    // folder ("." and ".."), and with sweepFree every free block that does. stop is asked
    // now and then; true ends the sweep early.
    TExtLostNames(TExtVolume& vol, std::shared_ptr<const TExtJournal> journal,
                  const std::vector<TExtJournalInode>& recovered, bool sweepFree,
                  const std::function<bool()>& stop = {});

    // The path of a folder ("" for the root), "/" separated, from the root; a folder that
    // cannot be placed lies under "/$OrphanFiles".
    std::string FolderPath(uint32_t dir);
    // The path of a deleted inode from the entries that named it; empty when none did.
    std::string PathOf(uint32_t inode, bool isDir);
    // The path of a file whose number a newer file took: from the entries the journal's
    // copies of folder blocks held live no later than transaction `sequence`; empty when
    // none did.
    std::string PathAt(uint32_t inode, uint32_t sequence);
    // Folders known only from their blocks (deleted, not in the journal's inodes).
    std::vector<uint32_t> LostFolders();
    // Every deleted inode named in a removed folder (not alive now), in inode order: one
    // naming each, handed to each in turn rather than copied out (a removed tree may hold
    // millions).
    void ForEachNameInRemovedFolders(const std::function<void(const TExtNaming&)>& each);
    // How many that hands over.
    size_t CountNamesInRemovedFolders();
    // Frees what the names took; nothing is asked of them after.
    void Drop();
    bool IsDeletedFolder(uint32_t dir) const { return deletedDirs_.count(dir) != 0; }
    uint64_t DirBlocksFound() const { return dirBlocks_; }
    uint64_t LeavesPlaced() const { return leavesPlaced_; }

private:
    // A free block that may be a hashed folder's leaf, and the part of its checksum the
    // folder's number and generation must give.
    struct TLeaf {
        uint64_t Block = 0;
        uint32_t Want = 0;
    };
    void NoteLeaf(ByteSpan block, uint64_t at, std::vector<TLeaf>& leaves) const;
    // Leaves whose checksum proves which removed folder they belonged to join its names.
    void PlaceLeaves(const std::vector<TLeaf>& leaves);
    void AddBlock(ByteSpan block, uint32_t dir, const TJournalCopy* from = nullptr);
    bool LiveDir(uint32_t dir);
    void ScanLiveDir(uint32_t dir);
    std::string LivePath(uint32_t dir, int depth);
    std::string Path(uint32_t dir, int depth);
    bool NamedIn(uint32_t parent, uint32_t child) const;
    std::optional<int64_t> CreatedAt(uint32_t dir);
    bool JournalSawOtherGeneration(uint32_t n, uint32_t generation);
    const TExtNaming* BestNaming(uint32_t inode, bool isDir, uint32_t preferredDir) const;
    // The naming of a deleted inode in a removed folder that the names without bytes use.
    const TExtNaming* NamingInRemovedFolder(uint32_t inode, const std::vector<TExtNaming>& list);

    TExtVolume& vol_;
    std::shared_ptr<const TExtJournal> journal_;
    std::unordered_map<uint32_t, std::vector<TExtNaming>> byInode_;
    std::unordered_map<uint32_t, uint32_t> parentOf_;
    std::unordered_map<uint32_t, int64_t> crtimeOf_;  // deleted folders the journal gave back
    std::unordered_map<uint32_t, bool> deletedDirs_;
    std::unordered_map<uint32_t, int> liveState_;      // 1 live folder, 2 not
    std::unordered_map<uint32_t, std::string> livePaths_;
    std::unordered_map<uint32_t, std::string> paths_;
    std::unordered_map<uint32_t, bool> liveScanned_;
    struct TLoggedName {
        uint32_t Sequence = 0;
        uint32_t Dir = 0;
        uint8_t Type = 0;
        std::string Name;
    };
    std::unordered_map<uint32_t, std::vector<TLoggedName>> logged_;  // live entries of journal copies
    uint64_t dirBlocks_ = 0;
    uint64_t names_ = 0;
    uint64_t leavesPlaced_ = 0;
};

} // namespace brivo
