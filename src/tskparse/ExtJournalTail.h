#pragma once
#include <cstdint>
#include <functional>
#include <vector>

namespace brivo {

// Reads the first bytes of journal block i (in journal order) into buf; false when it
// cannot be read.
using TJournalBlockHead = std::function<bool(uint64_t index, uint8_t* buf, size_t n)>;

// The journal blocks (indexes in journal order) this ext3/4 file system never wrote: after
// the last commit block whose sequence number is this file system's own (from 1 up to the
// next one the journal superblock names), to the end of the journal. A format that does
// not clear the journal leaves the old volume's data there. None when the journal still
// holds transactions to replay or its superblock is not one; after a wrap, only what lies
// past the last commit.
// blockCount: the journal's blocks as the file system lists them; at most that many are read.
std::vector<uint64_t> JournalUnwrittenBlocks(uint64_t blockCount, const TJournalBlockHead& head);

} // namespace brivo
