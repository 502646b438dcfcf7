#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "core/ByteReaders.h"

namespace brivo {

// A piece of a file: Count blocks from logical block Logical lie at volume block Physical.
// Unwritten (preallocated) blocks read as zeros. Blocks no run covers are holes.
struct TExtRun {
    uint64_t Logical = 0, Physical = 0, Count = 0;
    bool Unwritten = false;
    bool operator==(const TExtRun&) const = default;
};

// Where an inode's content lies.
struct TExtFileMap {
    std::vector<TExtRun> Runs;         // in logical order, not overlapping
    std::vector<uint64_t> MetaBlocks;  // extent index/leaf blocks, indirect blocks
    bool Complete = true;              // false: a node or indirect block was unreadable or bad
    std::string Problem;               // why not complete (English, for the debug log)
};

// Reads volume block `block` into out (one block); false when it cannot.
using TExtBlockReader = std::function<bool(uint64_t block, std::span<uint8_t> out)>;

// One node of an extent tree (the 60 bytes of i_block, or a whole tree block).
struct TExtExtentNode {
    uint16_t Entries = 0, Max = 0, Depth = 0;
    std::vector<TExtRun> Leaves;                                // depth 0
    std::vector<std::pair<uint32_t, uint64_t>> Index;           // depth > 0: first logical block, child block
};

inline constexpr uint16_t kExtExtentMagic = 0xF30A;
inline constexpr uint16_t kExtMaxExtentDepth = 5;

// Decodes an extent node: nothing when the magic is wrong, the depth is beyond what the
// kernel builds, or the entries do not fit the node.
std::optional<TExtExtentNode> DecodeExtExtentNode(ByteSpan node);

// Limits that keep a hostile map from running away.
struct TExtMapLimits {
    uint64_t BlocksCount = 0;          // blocks of the volume: pointers at or past it are bad
    uint64_t MaxLogicalBlocks = 0;     // stop past the file's size (0: the format's limit)
    uint64_t MaxRuns = 1u << 22;
    uint64_t MaxMetaBlocks = 1u << 18; // tree nodes or indirect blocks read at most
};

// The map of an extent-mapped inode, from its i_block bytes. Index nodes are followed
// depth first; a node met twice, a child that is not deeper by exactly one, or a leaf
// outside its parent's range ends that branch and marks the map incomplete.
TExtFileMap ExtExtentMap(ByteSpan iblock, uint32_t blockSize, const TExtBlockReader& read, const TExtMapLimits& limits);

// The map of a block-mapped (ext2/3) inode: 12 direct pointers, then single, double and
// triple indirect blocks. Zero pointers are holes. Adjacent blocks are joined into runs.
TExtFileMap ExtBlockMap(ByteSpan iblock, uint32_t blockSize, const TExtBlockReader& read, const TExtMapLimits& limits);

// Whether a block looks like an indirect block of a volume with blocksCount blocks: its
// nonzero pointers all inside the volume and ascending, at least one of them, and the
// zero ones only as a tail. The content search skips such blocks inside a run of ext2/3
// file data.
bool LooksLikeExtIndirectBlock(ByteSpan block, uint64_t blocksCount);

} // namespace brivo
