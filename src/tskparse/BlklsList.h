#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/FoundFile.h"

namespace brivo {

// Reads the engine's list of a file system's unallocated blocks (blkls -l: a few header
// lines, then "ADDRESS|f" per block) as it streams in, keeping only merged runs of block
// addresses, so a large volume's list costs memory by its number of free runs, not blocks.
// Lines that are not "digits|f" are skipped; a line longer than any real one is dropped
// unread.
class TBlklsFreeList {
public:
    void Feed(std::span<const uint8_t> piece);
    // Takes a last line that had no newline.
    void Finish();
    // Adds blocks [first, first + count) as free, whatever the list says of them.
    void AddRun(uint64_t first, uint64_t count);
    // The runs in bytes of the volume, clipped to volumeBytes, in offset order and merged.
    std::vector<TByteExtent> Areas(uint64_t blockBytes, uint64_t volumeBytes) const;
    uint64_t Blocks() const { return blocks_; }

private:
    void Line(std::string_view line);
    struct TRun {
        uint64_t First, Count;
    };
    std::vector<TRun> runs_;
    std::string partial_;
    bool skipping_ = false;  // inside an over-long line
    uint64_t blocks_ = 0;
};

// The data unit size in bytes that the engine's fsstat names ("Block Size: 4096", or
// "Cluster Size" / "Fragment Size" for the file systems that number those); 0 when the text
// names none or an implausible one.
uint64_t FsstatUnitBytes(std::string_view fsstatText);

// The block ranges [first, last] that an ext4 file system reserved but, by fsstat's group
// flags, never wrote since it was made: the whole of a BLOCK_UNINIT group and its block
// bitmap, the inode table and inode bitmap of an INODE_UNINIT group. The engine's free
// list leaves them out (they are free, or metadata nobody wrote), and after a format that
// did not clear them they hold the old volume's files. Unsorted; ranges may overlap.
std::vector<std::pair<uint64_t, uint64_t>> FsstatUninitBlockRanges(std::string_view fsstatText);

// The metadata address of the ext3/4 journal that fsstat names ("Journal Inode: 8"); 0 when none.
uint64_t FsstatJournalInode(std::string_view fsstatText);

// The block numbers istat lists for a file ("Direct Blocks:" and the lines of numbers
// after it), in file order, at most maxBlocks of them.
std::vector<uint64_t> IstatDirectBlocks(std::string_view istatText, size_t maxBlocks);

} // namespace brivo
