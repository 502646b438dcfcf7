#include "ext/ExtVolume.h"

#include <algorithm>
#include <stdexcept>

namespace brivo {

namespace {

// Bitmaps kept in memory at most; a volume with more groups reads them again.
constexpr size_t kBitmapCacheGroups = 4096;
// Groups a volume may have (256 TiB with 4 KiB blocks): a superblock claiming more is
// not believed.
constexpr uint64_t kMaxGroups = uint64_t{1} << 21;

bool BitSet(const std::vector<uint8_t>& bits, uint64_t i) {
    return i / 8 < bits.size() && (bits[i / 8] >> (i % 8)) & 1;
}
void SetBit(std::vector<uint8_t>& bits, uint64_t i) {
    if (i / 8 < bits.size()) bits[i / 8] = static_cast<uint8_t>(bits[i / 8] | (1u << (i % 8)));
}

std::optional<TExtSuperblock> ReadSuper(TByteSource& src, uint64_t offset) {
    std::vector<uint8_t> b(kExtSuperblockSize);
    if (!src.ReadExact(offset, b.data(), b.size())) return std::nullopt;
    return DecodeExtSuperblock(b);
}

} // namespace

TExtVolume::TExtVolume(TByteSource& src) : src_(src) {
    std::string why;
    std::vector<uint8_t> b(kExtSuperblockSize);
    std::optional<TExtSuperblock> sb;
    if (src.ReadExact(kExtSuperblockOffset, b.data(), b.size())) sb = DecodeExtSuperblock(b, &why);
    else why = "the superblock cannot be read";
    if (!sb || !sb->ChecksumOk) {
        // The backups in groups 1, 3, 5, 7, 9 at the usual group sizes (8 blocks per
        // bitmap bit), taken only when the copy says it is that group's.
        std::optional<TExtSuperblock> backup;
        for (uint32_t log = 0; log <= 6 && !backup; ++log) {
            const uint64_t bs = 1024u << log;
            for (uint64_t g : {1, 3, 5, 7, 9}) {
                const uint64_t block = g * 8 * bs + (bs == 1024 ? 1 : 0);
                auto s = ReadSuper(src, block * bs);
                if (s && s->BlockSize == bs && s->BlockGroupNr == g && s->ChecksumOk) {
                    backup = s;
                    break;
                }
            }
        }
        if (backup) {
            sb = backup;
            superFromBackup_ = true;
        }
    }
    if (!sb) throw std::runtime_error("No ext2/3/4 file system found on " + src.Name() + " (" + why + ")");
    sb_ = *sb;
    if (sb_.GroupCount() > kMaxGroups) throw std::runtime_error("The ext file system on " + src.Name() + " claims too many block groups");
    seed_ = ExtCsumSeed(sb_);
    ReadGroupDescriptors();
    // Without its root folder the volume lists nothing: say so rather than find nothing.
    const char* kind = sb_.Kind == TExtKind::Ext4 ? "ext4" : sb_.Kind == TExtKind::Ext3 ? "ext3" : "ext2";
    const auto root = ReadInode(kExtRootInode);
    if (!root || !root->IsDir())
        throw std::runtime_error(std::string("The ") + kind + " file system on " + src.Name() +
                                 " cannot be read: its root folder's inode " +
                                 (src.Size() != 0 && sb_.VolumeBytes() > src.Size() ? "lies past the end of the source" : "is damaged"));
}

void TExtVolume::ReadGroupDescriptors() {
    const uint64_t groups = sb_.GroupCount();
    const uint32_t per = ExtDescsPerBlock(sb_);
    groups_.resize(groups);
    std::vector<uint8_t> block(sb_.BlockSize);
    std::vector<uint8_t> backup(sb_.BlockSize);
    for (uint64_t index = 0; index * per < groups; ++index) {
        const uint64_t at = ExtDescBlockLocation(sb_, index, 0);
        const bool ok = at != 0 && ReadBlock(at, block);
        if (!ok) std::fill(block.begin(), block.end(), 0);
        bool backupRead = false;
        for (uint64_t i = 0; i < per && index * per + i < groups; ++i) {
            const uint64_t g = index * per + i;
            const auto bytes = std::span<const uint8_t>(block).subspan(i * sb_.DescSize, sb_.DescSize);
            TExtGroupDesc d = DecodeExtGroupDesc(bytes, sb_, static_cast<uint32_t>(g));
            if (!d.ChecksumOk || !ExtGroupDescPlausible(d, sb_)) {
                ++badDescriptors_;
                // A backup table: group 1's copy (or a meta group's second or last group).
                if (!backupRead) {
                    backupRead = true;
                    std::fill(backup.begin(), backup.end(), 0);
                    const bool meta = sb_.HasIncompat(ext_feature::kMetaBg) && index >= sb_.FirstMetaBg;
                    for (uint64_t copy : meta ? std::vector<uint64_t>{1, 2} : std::vector<uint64_t>{1, 3, 5, 7, 9}) {
                        const uint64_t bat = ExtDescBlockLocation(sb_, index, copy);
                        if (bat != 0 && bat != at && ReadBlock(bat, backup)) break;
                    }
                }
                TExtGroupDesc b = DecodeExtGroupDesc(std::span<const uint8_t>(backup).subspan(i * sb_.DescSize, sb_.DescSize), sb_,
                                                     static_cast<uint32_t>(g));
                if (b.ChecksumOk && ExtGroupDescPlausible(b, sb_)) {
                    // A backup table is written at mkfs and resize only: its flags and
                    // counts are old, its locations are right.
                    d = b;
                    d.Flags = 0;
                    ++descriptorsFromBackup_;
                } else if (!ExtGroupDescPlausible(d, sb_)) {
                    d = TExtGroupDesc{};
                }
            }
            groups_[g] = d;
        }
    }
}

bool TExtVolume::ReadBlock(uint64_t block, std::span<uint8_t> out) {
    if (block >= sb_.BlocksCount || out.size() < sb_.BlockSize) return false;
    return src_.ReadExact(BlockOffset(block), out.data(), sb_.BlockSize);
}

bool TExtVolume::ReadBlocks(uint64_t first, uint64_t count, std::span<uint8_t> out) {
    if (first >= sb_.BlocksCount || sb_.BlocksCount - first < count || out.size() / sb_.BlockSize < count) return false;
    return src_.ReadExact(BlockOffset(first), out.data(), static_cast<size_t>(count * sb_.BlockSize));
}

TExtBlockReader TExtVolume::BlockReader() {
    return [this](uint64_t block, std::span<uint8_t> out) { return ReadBlock(block, out); };
}

bool TExtVolume::InodeLocation(uint32_t n, uint64_t& block, uint32_t& offsetInBlock) const {
    if (n == 0 || n > sb_.InodesCount) return false;
    const uint64_t g = GroupOfInode(n);
    if (g >= groups_.size() || groups_[g].InodeTable == 0) return false;
    const uint64_t byte = uint64_t{(n - 1) % sb_.InodesPerGroup} * sb_.InodeSize;
    block = groups_[g].InodeTable + byte / sb_.BlockSize;
    offsetInBlock = static_cast<uint32_t>(byte % sb_.BlockSize);
    return block < sb_.BlocksCount;
}

bool TExtVolume::InodeSlotUninit(uint32_t n) const {
    if (n == 0 || n > sb_.InodesCount) return true;
    const uint64_t g = GroupOfInode(n);
    if (g >= groups_.size()) return true;
    const TExtGroupDesc& d = groups_[g];
    if (d.InodeUninit()) return true;
    if (d.ItableZeroed() || d.ItableUnused == 0 || d.ItableUnused > sb_.InodesPerGroup) return false;
    return (n - 1) % sb_.InodesPerGroup >= sb_.InodesPerGroup - d.ItableUnused;
}

bool TExtVolume::ReadRawInode(uint32_t n, std::vector<uint8_t>& out) {
    uint64_t block = 0;
    uint32_t off = 0;
    if (!InodeLocation(n, block, off)) return false;
    out.resize(sb_.InodeSize);
    return src_.ReadExact(BlockOffset(block) + off, out.data(), out.size());
}

std::optional<TExtInode> TExtVolume::ReadInode(uint32_t n, std::vector<uint8_t>* raw) {
    std::vector<uint8_t> local;
    std::vector<uint8_t>& bytes = raw ? *raw : local;
    if (!ReadRawInode(n, bytes)) return std::nullopt;
    return DecodeInode(n, bytes);
}

std::optional<TExtInode> TExtVolume::DecodeInode(uint32_t n, ByteSpan raw) {
    auto inode = DecodeExtInode(raw, sb_, n);
    if (inode && !inode->ChecksumOk && !inode->IsUnused()) ++checksumFailures_;
    return inode;
}

std::vector<uint8_t> TExtVolume::MakeUninitBitmap(uint64_t group) {
    std::vector<uint8_t> bits((sb_.BlocksPerGroup + 7) / 8, 0);
    const uint64_t first = ExtGroupFirstBlock(sb_, group);
    const uint64_t n = ExtGroupBlocks(sb_, group);
    const uint64_t base = std::min(ExtGroupBaseMetaBlocks(sb_, group), n);
    for (uint64_t i = 0; i < base; ++i) SetBit(bits, i);
    // This group's own bitmaps and inode table, and, with flex_bg, those of the groups
    // packed into it.
    const uint64_t itableBlocks = (uint64_t{sb_.InodesPerGroup} * sb_.InodeSize + sb_.BlockSize - 1) / sb_.BlockSize;
    const auto mark = [&](uint64_t b, uint64_t count) {
        for (uint64_t i = 0; i < count; ++i)
            if (b + i >= first && b + i < first + n) SetBit(bits, b + i - first);
    };
    uint64_t from = group, to = group + 1;
    if (sb_.HasIncompat(ext_feature::kFlexBg) && sb_.LogGroupsPerFlex < 31) {
        const uint64_t flex = uint64_t{1} << sb_.LogGroupsPerFlex;
        from = group / flex * flex;
        to = std::min<uint64_t>(from + flex, groups_.size());
    }
    for (uint64_t g = from; g < to && g < groups_.size(); ++g) {
        mark(groups_[g].BlockBitmap, 1);
        mark(groups_[g].InodeBitmap, 1);
        mark(groups_[g].InodeTable, itableBlocks);
    }
    // Blocks past the end of a short last group do not exist.
    for (uint64_t i = n; i < sb_.BlocksPerGroup; ++i) SetBit(bits, i);
    return bits;
}

const std::vector<uint8_t>& TExtVolume::BlockBitmap(uint64_t group) {
    if (group >= groups_.size()) return empty_;
    if (auto it = blockBitmaps_.find(group); it != blockBitmaps_.end()) return it->second;
    if (blockBitmaps_.size() >= kBitmapCacheGroups) blockBitmaps_.clear();
    std::vector<uint8_t> bits;
    const TExtGroupDesc& d = groups_[group];
    if (d.BlockUninit()) {
        bits = MakeUninitBitmap(group);
    } else if (d.BlockBitmap != 0) {
        std::vector<uint8_t> block(sb_.BlockSize);
        if (ReadBlock(d.BlockBitmap, block)) {
            block.resize(std::min<size_t>(block.size(), (sb_.BlocksPerGroup + 7) / 8));
            bits = std::move(block);
        }
    }
    return blockBitmaps_[group] = std::move(bits);
}

bool TExtVolume::IsBlockAllocated(uint64_t block) {
    if (block >= sb_.BlocksCount || block < sb_.FirstDataBlock) return true;
    const uint64_t g = GroupOfBlock(block);
    const std::vector<uint8_t>& bits = BlockBitmap(g);
    if (bits.empty()) return true;
    return BitSet(bits, block - ExtGroupFirstBlock(sb_, g));
}

bool TExtVolume::IsInodeAllocated(uint32_t n) {
    if (n == 0 || n > sb_.InodesCount) return false;
    const uint64_t g = GroupOfInode(n);
    if (g >= groups_.size()) return false;
    const TExtGroupDesc& d = groups_[g];
    if (d.InodeUninit()) return false;
    auto it = inodeBitmaps_.find(g);
    if (it == inodeBitmaps_.end()) {
        if (inodeBitmaps_.size() >= kBitmapCacheGroups) inodeBitmaps_.clear();
        std::vector<uint8_t> block(sb_.BlockSize);
        if (d.InodeBitmap == 0 || !ReadBlock(d.InodeBitmap, block)) block.clear();
        it = inodeBitmaps_.emplace(g, std::move(block)).first;
    }
    if (it->second.empty()) return true;
    return BitSet(it->second, (n - 1) % sb_.InodesPerGroup);
}

TExtFileMap TExtVolume::FileMap(const TExtInode& inode) {
    TExtFileMap map;
    if (inode.HasInlineData() || inode.IsFastSymlink()) return map;
    TExtMapLimits limits;
    limits.BlocksCount = sb_.BlocksCount;
    limits.MaxLogicalBlocks = (inode.Size + sb_.BlockSize - 1) / sb_.BlockSize;
    if (limits.MaxLogicalBlocks == 0) return map;
    const TExtBlockReader read = BlockReader();
    if (inode.UsesExtents()) return ExtExtentMap(inode.Block, sb_.BlockSize, read, limits);
    return ExtBlockMap(inode.Block, sb_.BlockSize, read, limits);
}

} // namespace brivo
