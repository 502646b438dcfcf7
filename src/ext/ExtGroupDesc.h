#pragma once
#include <cstdint>
#include <vector>

#include "core/ByteReaders.h"
#include "core/ExtSuperblock.h"

namespace brivo {

inline constexpr uint16_t kExtBgInodeUninit = 0x1;   // inode table and bitmap never written
inline constexpr uint16_t kExtBgBlockUninit = 0x2;   // block bitmap never written
inline constexpr uint16_t kExtBgItableZeroed = 0x4;  // inode table zeroed after mkfs

// One block group's descriptor, 32- or 64-bit.
struct TExtGroupDesc {
    uint64_t BlockBitmap = 0;
    uint64_t InodeBitmap = 0;
    uint64_t InodeTable = 0;
    uint32_t FreeBlocks = 0;
    uint32_t FreeInodes = 0;
    uint32_t UsedDirs = 0;
    uint32_t ItableUnused = 0;
    uint16_t Flags = 0;
    uint16_t Checksum = 0;
    bool ChecksumOk = true;   // true also when the volume keeps no descriptor checksum

    bool InodeUninit() const { return (Flags & kExtBgInodeUninit) != 0; }
    bool BlockUninit() const { return (Flags & kExtBgBlockUninit) != 0; }
    bool ItableZeroed() const { return (Flags & kExtBgItableZeroed) != 0; }
};

// Decodes the descriptor of group `group` from its DescSize bytes and checks its checksum
// (crc16 with GDT_CSUM, crc32c with metadata_csum). The flags only count on volumes that
// keep descriptor checksums (the kernel ignores them elsewhere), so they are cleared there.
TExtGroupDesc DecodeExtGroupDesc(ByteSpan bytes, const TExtSuperblock& sb, uint32_t group);

// Whether the descriptor's pointers lie inside the volume (bitmaps and a whole inode table).
bool ExtGroupDescPlausible(const TExtGroupDesc& d, const TExtSuperblock& sb);

// The first block of a group.
inline uint64_t ExtGroupFirstBlock(const TExtSuperblock& sb, uint64_t group) {
    return sb.FirstDataBlock + group * sb.BlocksPerGroup;
}
// Blocks in a group (the last one may be short).
uint64_t ExtGroupBlocks(const TExtSuperblock& sb, uint64_t group);
// Whether the group holds a copy of the superblock (group 0, and with sparse_super only
// 1 and powers of 3, 5 and 7; with sparse_super2 the two named groups).
bool ExtGroupHasSuper(const TExtSuperblock& sb, uint64_t group);
// Descriptors in one block.
inline uint32_t ExtDescsPerBlock(const TExtSuperblock& sb) { return sb.BlockSize / sb.DescSize; }
// Blocks the descriptor table takes (without meta_bg).
uint64_t ExtDescBlocks(const TExtSuperblock& sb);

// Where the block of descriptors number `index` (descriptors index*perBlock ..) lies: in
// the copy of group `copyGroup` for a plain table (0 = the main one), or, with meta_bg
// past first_meta_bg, in the meta group's first (copy 0), second (1) or last (2) group.
// 0 when there is no such copy.
uint64_t ExtDescBlockLocation(const TExtSuperblock& sb, uint64_t index, uint64_t copyGroup);

// The blocks of a group the file system itself uses whatever its bitmap says: its
// superblock copy, descriptor table and reserved descriptor blocks when it has them.
// As a count from the group's first block.
uint64_t ExtGroupBaseMetaBlocks(const TExtSuperblock& sb, uint64_t group);

} // namespace brivo
