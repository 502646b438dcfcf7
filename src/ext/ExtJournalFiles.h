#pragma once
#include <cstdint>
#include <memory>
#include <vector>

#include "ext/ExtFileMap.h"
#include "ext/ExtInode.h"
#include "ext/ExtJournal.h"

namespace brivo {

class TExtVolume;

// The volume's own journal (the inode the superblock names), walked once.
struct TExtJournal {
    bool Present = false;
    TJournalLog Log;
    TJournalBlockRead Read;  // journal block index -> bytes, through the journal inode's map
};

// Opens and walks the journal of an ext3/4 volume; Present is false on ext2, with an
// external journal, or when the journal inode or its superblock cannot be read.
std::shared_ptr<TExtJournal> OpenExtJournal(TExtVolume& vol);

// Reads volume blocks as they were when transaction `sequence` committed: the newest
// committed journal copy no later than it, else the block as it is now. A deleted file's
// extent index and leaf blocks (ext4) and indirect blocks (ext2/3) are emptied when it is
// deleted; their earlier state is in the journal.
TExtBlockReader ExtBlockReaderAt(TExtVolume& vol, std::shared_ptr<const TExtJournal> journal, uint32_t sequence);

// A deleted inode brought back from a journal copy of its inode-table block.
struct TExtJournalInode {
    uint32_t Number = 0;
    TExtInode Inode;             // as the copy holds it: in use, with its size, times and map
    uint32_t Sequence = 0;       // the transaction of that copy
    // The transaction of the next newer copy, where the inode was no longer in use: its
    // blocks' copies after it may belong to whatever took them over.
    uint32_t GoneSequence = 0;
    bool GoneKnown = false;
    // A newer file has the inode number now; the journal saw this one deleted first.
    bool NumberReused = false;
    TExtFileMap Map;             // read at that transaction (see ExtBlockReaderAt)
    std::vector<uint8_t> InlineData;  // the content of an inline-data inode
    uint64_t TestedBlocks = 0;   // of the map, checked against the block bitmap now
    uint64_t ReusedBlocks = 0;   // of those, allocated again since
    bool Sampled = false;        // only the first blocks of a long map were checked
};

// Every inode that is deleted now (no links or a deletion time, or its map emptied, and
// free in the inode bitmap) whose inode-table block the journal logged while the inode was
// in use with the same generation: the newest such copy, with its map. Also an inode whose
// number a newer file took, when the journal holds a copy of it in use and the next newer
// copy shows that same generation deleted. One per inode number, in inode order.
std::vector<TExtJournalInode> ExtDeletedInodesFromJournal(TExtVolume& vol, std::shared_ptr<const TExtJournal> journal);

} // namespace brivo
