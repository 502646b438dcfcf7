#include "ext/ExtGroupDesc.h"

#include <vector>

#include "core/Crc32c.h"

namespace brivo {

namespace {

bool IsPowerOf(uint64_t n, uint64_t base) {
    if (n == 0) return false;
    while (n % base == 0) n /= base;
    return n == 1;
}

} // namespace

TExtGroupDesc DecodeExtGroupDesc(ByteSpan b, const TExtSuperblock& sb, uint32_t group) {
    TExtGroupDesc d;
    d.BlockBitmap = ReadLe32(b, 0x00);
    d.InodeBitmap = ReadLe32(b, 0x04);
    d.InodeTable = ReadLe32(b, 0x08);
    d.FreeBlocks = ReadLe16(b, 0x0C);
    d.FreeInodes = ReadLe16(b, 0x0E);
    d.UsedDirs = ReadLe16(b, 0x10);
    d.Flags = ReadLe16(b, 0x12);
    d.ItableUnused = ReadLe16(b, 0x1C);
    d.Checksum = ReadLe16(b, 0x1E);
    if (sb.Is64Bit() && sb.DescSize >= 64) {
        d.BlockBitmap |= uint64_t{ReadLe32(b, 0x20)} << 32;
        d.InodeBitmap |= uint64_t{ReadLe32(b, 0x24)} << 32;
        d.InodeTable |= uint64_t{ReadLe32(b, 0x28)} << 32;
        d.FreeBlocks |= uint32_t{ReadLe16(b, 0x2C)} << 16;
        d.FreeInodes |= uint32_t{ReadLe16(b, 0x2E)} << 16;
        d.UsedDirs |= uint32_t{ReadLe16(b, 0x30)} << 16;
        d.ItableUnused |= uint32_t{ReadLe16(b, 0x32)} << 16;
    }
    const size_t size = std::min<size_t>(b.size(), sb.DescSize);
    uint8_t groupLe[4] = {static_cast<uint8_t>(group), static_cast<uint8_t>(group >> 8), static_cast<uint8_t>(group >> 16),
                          static_cast<uint8_t>(group >> 24)};
    if (sb.HasMetadataCsum()) {
        std::vector<uint8_t> copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(size));
        if (copy.size() >= 0x20) copy[0x1E] = copy[0x1F] = 0;
        uint32_t c = Crc32c(ExtCsumSeed(sb), groupLe);
        c = Crc32c(c, copy);
        d.ChecksumOk = size >= 0x20 && static_cast<uint16_t>(c & 0xFFFF) == d.Checksum;
    } else if (sb.HasRoCompat(ext_feature::kGdtCsum)) {
        uint16_t c = ExtCrc16(0xFFFF, sb.Uuid);
        c = ExtCrc16(c, groupLe);
        c = ExtCrc16(c, b.subspan(0, std::min<size_t>(size, 0x1E)));
        if (size > 0x20) c = ExtCrc16(c, b.subspan(0x20, size - 0x20));
        d.ChecksumOk = size >= 0x20 && c == d.Checksum;
    } else {
        d.Flags = 0;
        d.ItableUnused = 0;
    }
    return d;
}

bool ExtGroupDescPlausible(const TExtGroupDesc& d, const TExtSuperblock& sb) {
    const uint64_t itableBlocks = (uint64_t{sb.InodesPerGroup} * sb.InodeSize + sb.BlockSize - 1) / sb.BlockSize;
    const auto inside = [&](uint64_t b, uint64_t n) {
        return b >= sb.FirstDataBlock && b < sb.BlocksCount && sb.BlocksCount - b >= n;
    };
    return inside(d.BlockBitmap, 1) && inside(d.InodeBitmap, 1) && inside(d.InodeTable, itableBlocks) &&
           d.FreeInodes <= sb.InodesPerGroup;
}

uint64_t ExtGroupBlocks(const TExtSuperblock& sb, uint64_t group) {
    const uint64_t first = ExtGroupFirstBlock(sb, group);
    if (first >= sb.BlocksCount) return 0;
    return std::min<uint64_t>(sb.BlocksPerGroup, sb.BlocksCount - first);
}

bool ExtGroupHasSuper(const TExtSuperblock& sb, uint64_t group) {
    if (group == 0) return true;
    if (sb.HasCompat(ext_feature::kSparseSuper2)) return group == sb.BackupBgs[0] || group == sb.BackupBgs[1];
    if (group == 1 || !sb.HasRoCompat(ext_feature::kSparseSuper)) return true;
    if (group % 2 == 0) return false;
    return IsPowerOf(group, 3) || IsPowerOf(group, 5) || IsPowerOf(group, 7);
}

uint64_t ExtDescBlocks(const TExtSuperblock& sb) {
    const uint64_t per = ExtDescsPerBlock(sb);
    return per == 0 ? 0 : (sb.GroupCount() + per - 1) / per;
}

uint64_t ExtDescBlockLocation(const TExtSuperblock& sb, uint64_t index, uint64_t copyGroup) {
    const uint64_t per = ExtDescsPerBlock(sb);
    const uint64_t groups = sb.GroupCount();
    if (per == 0 || index >= ExtDescBlocks(sb)) return 0;
    if (!sb.HasIncompat(ext_feature::kMetaBg) || index < sb.FirstMetaBg) {
        if (copyGroup >= groups || !ExtGroupHasSuper(sb, copyGroup)) return 0;
        // On 1 KiB-block volumes group 0's superblock is block 1 and the table follows it.
        return ExtGroupFirstBlock(sb, copyGroup) + 1 + index;
    }
    const uint64_t firstGroup = index * per;
    uint64_t g = firstGroup;
    if (copyGroup == 1) g = firstGroup + 1;
    else if (copyGroup == 2) g = firstGroup + per - 1;
    else if (copyGroup != 0) return 0;
    if (g >= groups) return 0;
    return ExtGroupFirstBlock(sb, g) + (ExtGroupHasSuper(sb, g) ? 1 : 0);
}

uint64_t ExtGroupBaseMetaBlocks(const TExtSuperblock& sb, uint64_t group) {
    const bool super = ExtGroupHasSuper(sb, group);
    uint64_t n = super ? 1 : 0;
    const uint64_t per = ExtDescsPerBlock(sb);
    const bool metaBg = sb.HasIncompat(ext_feature::kMetaBg);
    if (!metaBg || (per != 0 && group / per < sb.FirstMetaBg)) {
        if (super) n += (metaBg ? sb.FirstMetaBg : ExtDescBlocks(sb)) + sb.ReservedGdtBlocks;
    } else if (per != 0) {
        const uint64_t r = group % per;
        if (r == 0 || r == 1 || r == per - 1) n += 1;
    }
    return n;
}

} // namespace brivo
