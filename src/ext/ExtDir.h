#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/ByteReaders.h"
#include "core/ExtSuperblock.h"

namespace brivo {

// One directory entry. Deleted entries are the ones found in the slack a live entry's
// record length covers past its own name (the kernel removes an entry by lengthening the
// one before it), and a block's first entry with inode 0 whose name is still there.
struct TExtDirEntry {
    uint32_t Inode = 0;
    uint8_t Type = 0;           // 0 unknown, 1 file, 2 folder, ... 7 symlink (filetype feature)
    std::string Name;
    bool Deleted = false;
    uint32_t Offset = 0;        // in the block
};

struct TExtDirBlock {
    std::vector<TExtDirEntry> Entries;   // "." and ".." included, in block order
    bool Valid = false;                  // the live chain of records covers the block exactly
    bool HasTail = false;                // a metadata_csum tail closes the block
    uint32_t TailChecksum = 0;
    bool IsHtreeRoot = false;            // "." and ".." then the hash tree's root
    bool IsHtreeNode = false;            // one empty record over the block, then hash entries
    uint8_t HtreeLevels = 0;             // root only: index levels below the root
};

struct TExtDirOptions {
    bool FileType = true;        // the filetype feature: name length is one byte, then the type
    uint64_t InodesCount = 0;    // inode numbers at or past it are not entries
    bool WithDeleted = true;
};

// A record length as stored (64 KiB blocks keep the high bits in the low ones).
uint32_t ExtDirRecLen(uint16_t stored, uint32_t blockSize);

// Decodes one directory block. The live entries follow the record chain; a chain that
// leaves the block or a record too short for its name ends the block's live entries and
// marks it not valid. htree blocks give the live "." and ".." (roots) and no entries
// past them (the index's hash entries are no names).
TExtDirBlock DecodeExtDirBlock(ByteSpan block, const TExtDirOptions& opts);

// Whether the block starts a directory: "." naming some inode, then ".." (what a sweep of
// free blocks looks for). parent gets the ".." inode.
bool LooksLikeExtDirStart(ByteSpan block, const TExtDirOptions& opts, uint32_t* self = nullptr, uint32_t* parent = nullptr);

// The checksum a metadata_csum directory block's tail should hold: seed, inode number,
// generation, then the block up to the tail.
uint32_t ExtDirBlockChecksum(ByteSpan block, uint32_t seed, uint32_t inode, uint32_t generation);

} // namespace brivo
