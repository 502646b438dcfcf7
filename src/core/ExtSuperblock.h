#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <string>

#include "core/ByteReaders.h"

namespace brivo {

// Feature bits of the ext2/3/4 superblock that change how the volume is read.
namespace ext_feature {
// compat
inline constexpr uint32_t kHasJournal = 0x4;
inline constexpr uint32_t kExtAttr = 0x8;
inline constexpr uint32_t kResizeInode = 0x10;
inline constexpr uint32_t kDirIndex = 0x20;
inline constexpr uint32_t kSparseSuper2 = 0x200;
// incompat
inline constexpr uint32_t kCompression = 0x1;
inline constexpr uint32_t kFiletype = 0x2;
inline constexpr uint32_t kRecover = 0x4;
inline constexpr uint32_t kJournalDev = 0x8;
inline constexpr uint32_t kMetaBg = 0x10;
inline constexpr uint32_t kExtents = 0x40;
inline constexpr uint32_t k64Bit = 0x80;
inline constexpr uint32_t kMmp = 0x100;
inline constexpr uint32_t kFlexBg = 0x200;
inline constexpr uint32_t kEaInode = 0x400;
inline constexpr uint32_t kDirData = 0x1000;
inline constexpr uint32_t kCsumSeed = 0x2000;
inline constexpr uint32_t kLargeDir = 0x4000;
inline constexpr uint32_t kInlineData = 0x8000;
inline constexpr uint32_t kEncrypt = 0x10000;
inline constexpr uint32_t kCasefold = 0x20000;
// ro_compat
inline constexpr uint32_t kSparseSuper = 0x1;
inline constexpr uint32_t kLargeFile = 0x2;
inline constexpr uint32_t kBtreeDir = 0x4;
inline constexpr uint32_t kHugeFile = 0x8;
inline constexpr uint32_t kGdtCsum = 0x10;
inline constexpr uint32_t kDirNlink = 0x20;
inline constexpr uint32_t kExtraIsize = 0x40;
inline constexpr uint32_t kQuota = 0x100;
inline constexpr uint32_t kBigalloc = 0x200;
inline constexpr uint32_t kMetadataCsum = 0x400;
} // namespace ext_feature

enum class TExtKind : uint8_t { Ext2 = 2, Ext3 = 3, Ext4 = 4 };

// The fields of an ext2/3/4 superblock a reader needs, checked against each other.
struct TExtSuperblock {
    uint64_t InodesCount = 0;
    uint64_t BlocksCount = 0;          // with the high part on 64-bit volumes
    uint64_t FreeBlocksCount = 0;
    uint64_t FreeInodesCount = 0;
    uint32_t FirstDataBlock = 0;       // 1 on 1 KiB-block volumes, else 0
    uint32_t BlockSize = 0;            // 1 KiB .. 64 KiB
    uint32_t ClusterSize = 0;          // bigalloc; equal to BlockSize otherwise
    uint32_t BlocksPerGroup = 0;
    uint32_t ClustersPerGroup = 0;
    uint32_t InodesPerGroup = 0;
    uint32_t MountTime = 0, WriteTime = 0, LastCheck = 0, MkfsTime = 0;
    uint16_t State = 0;                // 1 clean, 2 errors
    uint32_t RevLevel = 0;
    uint32_t FirstInode = 11;          // the first inode not reserved
    uint32_t InodeSize = 128;          // 128 .. 1024, a power of two
    uint16_t BlockGroupNr = 0;         // the group this copy lies in (backups)
    uint32_t FeatureCompat = 0, FeatureIncompat = 0, FeatureRoCompat = 0;
    std::array<uint8_t, 16> Uuid{};
    std::string VolumeName;
    uint16_t ReservedGdtBlocks = 0;
    uint32_t JournalInode = 0;
    uint32_t JournalDev = 0;
    uint32_t LastOrphan = 0;
    std::array<uint32_t, 4> HashSeed{};
    uint8_t DefHashVersion = 0;
    uint32_t DescSize = 32;            // 32, or 64 .. 1024 on 64-bit volumes
    uint32_t FirstMetaBg = 0;
    uint16_t MinExtraIsize = 0, WantExtraIsize = 0;
    uint32_t Flags = 0;                // 2: unsigned directory hash
    uint8_t LogGroupsPerFlex = 0;
    uint8_t ChecksumType = 0;
    std::array<uint32_t, 2> BackupBgs{};  // sparse_super2: the only groups with backups
    uint32_t ChecksumSeed = 0;         // the stored seed (CSUM_SEED); see ExtCsumSeed
    uint32_t Checksum = 0;             // stored; ChecksumOk says whether it matched
    bool ChecksumOk = true;            // true also when the volume keeps no checksum
    TExtKind Kind = TExtKind::Ext2;

    bool HasCompat(uint32_t f) const { return (FeatureCompat & f) != 0; }
    bool HasIncompat(uint32_t f) const { return (FeatureIncompat & f) != 0; }
    bool HasRoCompat(uint32_t f) const { return (FeatureRoCompat & f) != 0; }
    bool Is64Bit() const { return HasIncompat(ext_feature::k64Bit); }
    bool HasMetadataCsum() const { return HasRoCompat(ext_feature::kMetadataCsum); }
    uint64_t GroupCount() const {
        return BlocksPerGroup == 0 || BlocksCount <= FirstDataBlock
                   ? 0 : (BlocksCount - FirstDataBlock + BlocksPerGroup - 1) / BlocksPerGroup;
    }
    uint64_t VolumeBytes() const { return BlocksCount * BlockSize; }
};

inline constexpr uint16_t kExtMagic = 0xEF53;
inline constexpr uint64_t kExtSuperblockOffset = 1024;
inline constexpr size_t kExtSuperblockSize = 1024;

// CRC16 (0x8005 reflected) as the group descriptors of GDT_CSUM volumes use it.
uint16_t ExtCrc16(uint16_t crc, ByteSpan bytes);
// The seed every metadata checksum of the volume starts from.
uint32_t ExtCsumSeed(const TExtSuperblock& sb);

// Decodes the 1024 bytes of a superblock (at volume byte 1024, or a backup). Nothing when
// they are not a usable ext2/3/4 superblock: wrong magic, a block size outside 1-64 KiB,
// an inode size that is no power of two in 128-1024 (or beyond the block), zero or
// impossible group sizes, inode and group counts that disagree, a first data block that
// does not match the block size, a descriptor size outside 32-1024 on 64-bit volumes.
// why (English, for the debug log) says what was wrong.
std::optional<TExtSuperblock> DecodeExtSuperblock(ByteSpan superblockBytes, std::string* why = nullptr);

} // namespace brivo
