#include "core/ExtSuperblock.h"

#include "core/Crc32c.h"

namespace brivo {

namespace {

bool Fail(std::string* why, const char* text) {
    if (why) *why = text;
    return false;
}

bool IsPowerOfTwo(uint64_t v) { return v != 0 && (v & (v - 1)) == 0; }

} // namespace

uint16_t ExtCrc16(uint16_t crc, ByteSpan bytes) {
    for (uint8_t b : bytes) {
        crc ^= b;
        for (int k = 0; k < 8; ++k) crc = (crc & 1) ? static_cast<uint16_t>((crc >> 1) ^ 0xA001) : static_cast<uint16_t>(crc >> 1);
    }
    return crc;
}

uint32_t ExtCsumSeed(const TExtSuperblock& sb) {
    if (sb.HasIncompat(ext_feature::kCsumSeed)) return sb.ChecksumSeed;
    return Crc32c(~0u, sb.Uuid);
}

std::optional<TExtSuperblock> DecodeExtSuperblock(ByteSpan b, std::string* why) {
    using namespace ext_feature;
    if (b.size() < kExtSuperblockSize) return Fail(why, "superblock too short"), std::nullopt;
    if (ReadLe16(b, 0x38) != kExtMagic) return Fail(why, "no ext magic"), std::nullopt;
    TExtSuperblock s;
    s.RevLevel = ReadLe32(b, 0x4C);
    s.FeatureCompat = s.RevLevel >= 1 ? ReadLe32(b, 0x5C) : 0;
    s.FeatureIncompat = s.RevLevel >= 1 ? ReadLe32(b, 0x60) : 0;
    s.FeatureRoCompat = s.RevLevel >= 1 ? ReadLe32(b, 0x64) : 0;

    const uint32_t logBlock = ReadLe32(b, 0x18);
    if (logBlock > 6) return Fail(why, "block size outside 1-64 KiB"), std::nullopt;
    s.BlockSize = 1024u << logBlock;
    const uint32_t logCluster = ReadLe32(b, 0x1C);
    if (s.HasRoCompat(kBigalloc)) {
        if (logCluster < logBlock || logCluster > 6 + 16) return Fail(why, "bad cluster size"), std::nullopt;
        s.ClusterSize = logCluster > 30 - 10 ? 0 : 1024u << logCluster;
        if (s.ClusterSize == 0) return Fail(why, "bad cluster size"), std::nullopt;
    } else {
        s.ClusterSize = s.BlockSize;
    }

    s.InodesCount = ReadLe32(b, 0x00);
    s.BlocksCount = ReadLe32(b, 0x04);
    s.FreeBlocksCount = ReadLe32(b, 0x0C);
    s.FreeInodesCount = ReadLe32(b, 0x10);
    s.FirstDataBlock = ReadLe32(b, 0x14);
    s.BlocksPerGroup = ReadLe32(b, 0x20);
    s.ClustersPerGroup = ReadLe32(b, 0x24);
    s.InodesPerGroup = ReadLe32(b, 0x28);
    s.MountTime = ReadLe32(b, 0x2C);
    s.WriteTime = ReadLe32(b, 0x30);
    s.State = ReadLe16(b, 0x3A);
    s.LastCheck = ReadLe32(b, 0x40);
    if (s.RevLevel >= 1) {
        s.FirstInode = ReadLe32(b, 0x54);
        s.InodeSize = ReadLe16(b, 0x58);
        s.BlockGroupNr = ReadLe16(b, 0x5A);
    }
    for (size_t i = 0; i < 16; ++i) s.Uuid[i] = b[0x68 + i];
    for (size_t i = 0; i < 16 && b[0x78 + i] != 0; ++i) s.VolumeName.push_back(static_cast<char>(b[0x78 + i]));
    s.ReservedGdtBlocks = ReadLe16(b, 0xCE);
    s.JournalInode = ReadLe32(b, 0xE0);
    s.JournalDev = ReadLe32(b, 0xE4);
    s.LastOrphan = ReadLe32(b, 0xE8);
    for (size_t i = 0; i < 4; ++i) s.HashSeed[i] = ReadLe32(b, static_cast<int64_t>(0xEC + 4 * i));
    s.DefHashVersion = ReadU8(b, 0xFC);
    s.FirstMetaBg = ReadLe32(b, 0x104);
    s.MkfsTime = ReadLe32(b, 0x108);
    s.MinExtraIsize = ReadLe16(b, 0x15C);
    s.WantExtraIsize = ReadLe16(b, 0x15E);
    s.Flags = ReadLe32(b, 0x160);
    s.LogGroupsPerFlex = ReadU8(b, 0x174);
    s.ChecksumType = ReadU8(b, 0x175);
    s.ChecksumSeed = ReadLe32(b, 0x270);
    s.BackupBgs = {ReadLe32(b, 0x24C), ReadLe32(b, 0x250)};
    s.Checksum = ReadLe32(b, 0x3FC);

    if (s.Is64Bit()) {
        s.BlocksCount |= uint64_t{ReadLe32(b, 0x150)} << 32;
        s.FreeBlocksCount |= uint64_t{ReadLe32(b, 0x158)} << 32;
        s.DescSize = ReadLe16(b, 0xFE);
        if (s.DescSize < 64 || s.DescSize > 1024 || !IsPowerOfTwo(s.DescSize) || s.DescSize > s.BlockSize)
            return Fail(why, "bad group descriptor size"), std::nullopt;
    }

    if (s.InodeSize < 128 || s.InodeSize > 1024 || !IsPowerOfTwo(s.InodeSize) || s.InodeSize > s.BlockSize)
        return Fail(why, "bad inode size"), std::nullopt;
    if (s.FirstDataBlock != (s.BlockSize == 1024 && !s.HasRoCompat(kBigalloc) ? 1u : 0u))
        return Fail(why, "first data block does not match the block size"), std::nullopt;
    if (s.BlocksPerGroup == 0 || s.BlocksPerGroup > 8ull * s.BlockSize || s.BlocksPerGroup % 8 != 0)
        return Fail(why, "bad blocks per group"), std::nullopt;
    if (s.HasRoCompat(kBigalloc) && (s.ClustersPerGroup == 0 || s.ClustersPerGroup > 8ull * s.BlockSize))
        return Fail(why, "bad clusters per group"), std::nullopt;
    if (s.InodesPerGroup == 0 || s.InodesPerGroup > 8ull * s.BlockSize)
        return Fail(why, "bad inodes per group"), std::nullopt;
    if (s.BlocksCount <= s.FirstDataBlock || s.BlocksCount > (uint64_t{1} << 48))
        return Fail(why, "bad block count"), std::nullopt;
    const uint64_t groups = s.GroupCount();
    if (s.InodesCount == 0 || s.InodesCount != groups * s.InodesPerGroup)
        return Fail(why, "inode count does not match the groups"), std::nullopt;
    if (s.FreeInodesCount > s.InodesCount) return Fail(why, "more free inodes than inodes"), std::nullopt;
    if (s.RevLevel >= 1 && (s.FirstInode < 11 || s.FirstInode > s.InodesCount))
        return Fail(why, "bad first inode"), std::nullopt;
    if (s.HasIncompat(kMetaBg) && s.FirstMetaBg > groups) return Fail(why, "bad first meta group"), std::nullopt;
    if (s.LogGroupsPerFlex > 31) return Fail(why, "bad flex group size"), std::nullopt;
    if (s.JournalInode != 0 && s.JournalInode > s.InodesCount) return Fail(why, "bad journal inode"), std::nullopt;

    if (s.HasMetadataCsum()) s.ChecksumOk = Crc32c(~0u, b.subspan(0, 0x3FC)) == s.Checksum;

    const bool ext4 = (s.FeatureIncompat & ~(kFiletype | kRecover | kMetaBg | kJournalDev | kCompression)) != 0 ||
                      (s.FeatureRoCompat & ~(kSparseSuper | kLargeFile | kBtreeDir)) != 0;
    s.Kind = ext4 ? TExtKind::Ext4 : s.HasCompat(kHasJournal) ? TExtKind::Ext3 : TExtKind::Ext2;
    return s;
}

} // namespace brivo
