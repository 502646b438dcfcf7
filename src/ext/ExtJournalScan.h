#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/FoundFile.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"
#include "ext/ExtInode.h"

namespace brivo {

class TExtVolume;

// A deleted inode named in a removed folder whose map is gone everywhere: a name without
// bytes. Never joined to content found by the content search without proof.
struct TExtNameOnly {
    uint32_t Inode = 0;
    uint32_t Group = 0;   // the inode's block group
    std::string Path;
    uint64_t Size = 0;    // what the inode on the disk says now (what a copy by it gives)
    // The size the file had, from the journal's copy of its inode or the inode where the
    // kernel left it; 0 when neither says (ext2 zeroes a deleted inode's size).
    uint64_t ProvenSize = 0;
};

// What the journal and the removed folders give back on an ext3/4 volume.
struct TExtRecovered {
    // Deleted files whose map a journal copy of their inode kept, at the path the entries
    // of their folders give (or /$OrphanFiles/OrphanFile-N, the engine's form). Each carries
    // the byte extents of its content, so it is read from them whatever the inode says now.
    TFoundFiles Found;
    std::vector<std::string> DeletedFolders;  // as the results' paths name them
    std::vector<TExtNameOnly> NamesOnly;
    // The journal's copy of every deleted regular file brought back, by inode number.
    std::unordered_map<uint32_t, TExtInode> Inodes;
    bool JournalPresent = false;
    uint64_t JournalCopies = 0;
    uint64_t JournalTransactions = 0;
    uint64_t InodesFromJournal = 0;
    // The journal's checksums (v2 and v3): how many were checked, and those that failed,
    // whose blocks were not used (see TJournalLog).
    uint64_t JournalSumsChecked = 0;
    uint64_t JournalBadCopySums = 0;
    uint64_t JournalBadDescriptorSums = 0;
    uint64_t JournalBadCommitSums = 0;
    uint64_t JournalBadRevokeSums = 0;
    bool JournalSuperSumOk = true;
    uint64_t DirBlocks = 0;
    // The volume's block groups as bytes, where the allocator puts a group's files.
    uint64_t FirstGroupAt = 0, GroupBytes = 0, VolumeBytes = 0;
    uint64_t WithoutWholeMap = 0;  // inline data, holes or an unreadable node: left out
};

// Walks the journal, brings back the deleted inodes it kept and names them from every
// directory block still found (with sweepFree, also those in free blocks). translate turns
// condition texts into the user's language; stop ends the free-block sweep early.
TExtRecovered ExtRecoverFromJournal(TExtVolume& vol, bool sweepFree,
                                    const std::function<std::string(const std::string&)>& translate = {},
                                    const std::function<bool()>& stop = {});

// The journal's copy of a deleted regular file's inode, for the scan of the live folders.
// rec must outlive the function.
std::function<std::optional<TExtInode>(uint32_t)> ExtJournalHistory(const TExtRecovered& rec);

// Joins what the journal gave back to what the scan of the live folders found: a result
// of both is listed once, at the scan's path unless only the journal could place it, with
// the journal's content (the inode on the disk lost its map); the rest is added through the
// same masks and cleanup, lost folders' made-up names not counting as noise. Names without
// bytes are listed as empty files, like the scan's deleted entries whose inode kept nothing;
// in a deep scan those of a kind the content search finds (opts.FoundByContent) are also
// handed to it (NamesWithoutContent), those the cleanup filter hides as empty too.
// rec is used up: its files move into r, which grows once, to what it keeps.
void AddExtJournalResults(TExtRecovered rec, const TReaderOptions& opts, TReaderReport& report, TReaderResult& r);

} // namespace brivo
