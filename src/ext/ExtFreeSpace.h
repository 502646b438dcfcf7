#pragma once
#include <cstdint>
#include <vector>

#include "core/FoundFile.h"
#include "core/ReaderReport.h"
#include "ext/ExtVolume.h"

namespace brivo {

// Journal blocks (logical, in the journal file) that no transaction has written since the
// journal was made: after the last transaction of the chain that starts at the journal's
// first block, when that chain never wrapped. [first, end); first == end when there are
// none or the journal cannot be read. A freshly made file system leaves what the old
// volume had there.
struct TExtJournalTail {
    uint64_t First = 0, End = 0;
};
TExtJournalTail ExtJournalUnwrittenTail(TExtVolume& vol);

// The blocks a content search should read, as merged byte runs of the volume in offset
// order: the blocks the bitmaps mark free (BLOCK_UNINIT groups: all but their own
// metadata), the inode-table blocks the file system reserved but never wrote (groups
// whose table was not zeroed, past their used inodes), and the journal's unwritten tail; on
// volumes without extents, less the free blocks that look like a deleted file's indirect
// blocks.
// counts, when given, gets how many blocks of each kind were added.
struct TExtFreeCounts {
    uint64_t FreeBlocks = 0;
    uint64_t UnwrittenMetadataBlocks = 0;   // inode tables and bitmaps
    uint64_t UnwrittenJournalBlocks = 0;
    uint64_t IndirectBlocks = 0;            // ext2/3 indirect blocks of deleted files, left out
};
std::vector<TByteExtent> ExtFreeAreas(TExtVolume& vol, TReaderReport& report, TExtFreeCounts* counts = nullptr);

} // namespace brivo
