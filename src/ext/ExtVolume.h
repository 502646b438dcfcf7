#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/ByteSource.h"
#include "core/ExtSuperblock.h"
#include "ext/ExtFileMap.h"
#include "ext/ExtGroupDesc.h"
#include "ext/ExtInode.h"

namespace brivo {

// An open ext2/3/4 volume: its superblock (a backup one when the first is damaged), the
// group descriptors (each from a backup table when the main one is bad), and the block
// and inode bitmaps read on demand. Never writes; every read is bounds-checked.
class TExtVolume {
public:
    // Throws std::runtime_error with the user's message when the source holds no usable
    // ext2/3/4 file system.
    explicit TExtVolume(TByteSource& src);

    TByteSource& Source() { return src_; }
    const TExtSuperblock& Super() const { return sb_; }
    bool SuperFromBackup() const { return superFromBackup_; }
    uint32_t BlockSize() const { return sb_.BlockSize; }
    uint64_t BlocksCount() const { return sb_.BlocksCount; }
    uint64_t GroupCount() const { return groups_.size(); }
    const std::vector<TExtGroupDesc>& Groups() const { return groups_; }
    uint32_t CsumSeed() const { return seed_; }
    // Descriptors whose checksum failed, and those taken from a backup table.
    uint64_t BadDescriptors() const { return badDescriptors_; }
    uint64_t DescriptorsFromBackup() const { return descriptorsFromBackup_; }

    uint64_t BlockOffset(uint64_t block) const { return block * sb_.BlockSize; }
    bool ReadBlock(uint64_t block, std::span<uint8_t> out);
    // count blocks from first into out (count * BlockSize bytes).
    bool ReadBlocks(uint64_t first, uint64_t count, std::span<uint8_t> out);
    TExtBlockReader BlockReader();

    // Where inode n lies: its group, the volume block of its inode-table block and the
    // byte offset in that block. False for 0, past the inode count, or a group whose
    // descriptor is unusable.
    bool InodeLocation(uint32_t n, uint64_t& block, uint32_t& offsetInBlock) const;
    uint32_t GroupOfInode(uint32_t n) const { return n == 0 ? 0 : (n - 1) / sb_.InodesPerGroup; }
    uint64_t GroupOfBlock(uint64_t block) const {
        return block < sb_.FirstDataBlock ? 0 : (block - sb_.FirstDataBlock) / sb_.BlocksPerGroup;
    }
    // Whether the inode-table slot of n was never written since mkfs (an INODE_UNINIT
    // group, or past the group's used part of a table not zeroed): reads there give what
    // was on the disk before, not an inode.
    bool InodeSlotUninit(uint32_t n) const;
    // The raw bytes (InodeSize) of inode n; false when unreadable.
    bool ReadRawInode(uint32_t n, std::vector<uint8_t>& out);
    std::optional<TExtInode> ReadInode(uint32_t n, std::vector<uint8_t>* raw = nullptr);
    // Inode n from bytes already read (its slot of an inode-table block), counted like ReadInode.
    std::optional<TExtInode> DecodeInode(uint32_t n, ByteSpan raw);

    // Whether the block bitmap marks the block in use (blocks of a BLOCK_UNINIT group are
    // free apart from the group's own metadata). Blocks past the volume and blocks of a
    // group whose bitmap cannot be read count as in use.
    bool IsBlockAllocated(uint64_t block);
    // Whether the inode bitmap marks inode n in use (INODE_UNINIT groups: none are).
    bool IsInodeAllocated(uint32_t n);
    // The block bitmap of a group, one bit a block from the group's first block; empty
    // when it cannot be read.
    const std::vector<uint8_t>& BlockBitmap(uint64_t group);

    // The map of an inode's content (extents or block map) bounded by its size; inline
    // data and fast symlinks have no runs.
    TExtFileMap FileMap(const TExtInode& inode);

    // Metadata checksums that did not match while reading (inodes, descriptors).
    uint64_t ChecksumFailures() const { return checksumFailures_; }

private:
    void ReadGroupDescriptors();
    std::vector<uint8_t> MakeUninitBitmap(uint64_t group);

    TByteSource& src_;
    TExtSuperblock sb_;
    bool superFromBackup_ = false;
    uint32_t seed_ = 0;
    std::vector<TExtGroupDesc> groups_;
    uint64_t badDescriptors_ = 0, descriptorsFromBackup_ = 0;
    uint64_t checksumFailures_ = 0;
    std::unordered_map<uint64_t, std::vector<uint8_t>> blockBitmaps_;
    std::unordered_map<uint64_t, std::vector<uint8_t>> inodeBitmaps_;
    std::vector<uint8_t> empty_;
};

} // namespace brivo
