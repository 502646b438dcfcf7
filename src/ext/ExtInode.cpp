#include "ext/ExtInode.h"

#include <algorithm>

#include "core/Crc32c.h"

namespace brivo {

namespace {

// A time field with its extra word when the inode has room for it.
TExtTime ReadTime(ByteSpan raw, int64_t at, int64_t extraAt, uint32_t extraEnd) {
    TExtTime t;
    t.Present = true;
    t.Seconds = static_cast<int32_t>(ReadLe32(raw, at));
    if (extraAt >= 0 && static_cast<uint64_t>(extraAt) + 4 <= extraEnd) {
        const uint32_t extra = ReadLe32(raw, extraAt);
        t.Seconds += static_cast<int64_t>(extra & 3) << 32;
        t.Nanos = extra >> 2;
        if (t.Nanos > 999999999) t.Nanos = 0;
    }
    return t;
}

} // namespace

TExtFileType TExtInode::Type() const {
    switch (Mode & 0xF000) {
    case 0x8000: return TExtFileType::Regular;
    case 0x4000: return TExtFileType::Dir;
    case 0x2000: return TExtFileType::CharDev;
    case 0x6000: return TExtFileType::BlockDev;
    case 0x1000: return TExtFileType::Fifo;
    case 0xC000: return TExtFileType::Socket;
    case 0xA000: return TExtFileType::Symlink;
    default: return TExtFileType::Unknown;
    }
}

bool TExtInode::IsFastSymlink() const {
    if (!IsSymlink() || HasInlineData()) return false;
    if (UsesExtents()) return false;
    const uint64_t dataBlocks = FileAcl != 0 ? 0 : Blocks;
    return Size < 60 && dataBlocks == 0;
}

std::optional<TExtInode> DecodeExtInode(ByteSpan raw, const TExtSuperblock& sb, uint32_t number) {
    if (raw.size() < 128) return std::nullopt;
    TExtInode n;
    n.Number = number;
    n.Mode = ReadLe16(raw, 0x00);
    n.Uid = ReadLe16(raw, 0x02) | uint32_t{ReadLe16(raw, 0x78)} << 16;
    n.Gid = ReadLe16(raw, 0x18) | uint32_t{ReadLe16(raw, 0x7A)} << 16;
    n.Size = ReadLe32(raw, 0x04) | uint64_t{ReadLe32(raw, 0x6C)} << 32;
    n.Links = ReadLe16(raw, 0x1A);
    n.Blocks = ReadLe32(raw, 0x1C) | uint64_t{ReadLe16(raw, 0x74)} << 32;
    n.Flags = ReadLe32(raw, 0x20);
    n.Generation = ReadLe32(raw, 0x64);
    n.FileAcl = ReadLe32(raw, 0x68) | uint64_t{ReadLe16(raw, 0x76)} << 32;
    std::copy_n(raw.begin() + 0x28, 60, n.Block.begin());
    n.Dtime = ReadLe32(raw, 0x14);

    uint32_t extraEnd = 128;
    const size_t inodeSize = std::min<size_t>(raw.size(), sb.InodeSize);
    if (inodeSize > 128) {
        n.ExtraIsize = ReadLe16(raw, 0x80);
        if (128u + n.ExtraIsize > inodeSize || n.ExtraIsize % 4 != 0) return std::nullopt;
        extraEnd = 128u + n.ExtraIsize;
    }
    n.Atime = ReadTime(raw, 0x08, 0x8C, extraEnd);
    n.Ctime = ReadTime(raw, 0x0C, 0x84, extraEnd);
    n.Mtime = ReadTime(raw, 0x10, 0x88, extraEnd);
    if (extraEnd >= 0x98) n.Crtime = ReadTime(raw, 0x90, 0x94, extraEnd);

    n.Checksum = ReadLe16(raw, 0x7C);
    const bool hasHi = extraEnd >= 0x84;
    if (hasHi) n.Checksum |= uint32_t{ReadLe16(raw, 0x82)} << 16;
    if (sb.HasMetadataCsum()) {
        // The checksum fields count as zeros: summed around them, without a copy.
        const ByteSpan body = raw.subspan(0, inodeSize);
        static constexpr uint8_t kZeros[2] = {0, 0};
        const uint8_t num[4] = {static_cast<uint8_t>(number), static_cast<uint8_t>(number >> 8),
                                static_cast<uint8_t>(number >> 16), static_cast<uint8_t>(number >> 24)};
        const uint8_t gen[4] = {static_cast<uint8_t>(n.Generation), static_cast<uint8_t>(n.Generation >> 8),
                                static_cast<uint8_t>(n.Generation >> 16), static_cast<uint8_t>(n.Generation >> 24)};
        uint32_t c = Crc32c(ExtCsumSeed(sb), num);
        c = Crc32c(c, gen);
        c = Crc32c(c, body.subspan(0, 0x7C));
        c = Crc32c(c, kZeros);
        if (hasHi) {
            c = Crc32c(c, body.subspan(0x7E, 0x82 - 0x7E));
            c = Crc32c(c, kZeros);
            c = Crc32c(c, body.subspan(0x84));
        } else {
            c = Crc32c(c, body.subspan(0x7E));
        }
        n.ChecksumOk = hasHi ? c == n.Checksum : (c & 0xFFFF) == n.Checksum;
    }
    return n;
}

std::vector<uint8_t> ExtInlineData(ByteSpan raw, const TExtInode& inode) {
    std::vector<uint8_t> out(inode.Block.begin(), inode.Block.end());
    if (inode.Size <= out.size()) {
        out.resize(static_cast<size_t>(inode.Size));
        return out;
    }
    // In-inode extended attributes: a magic word, then entries up to a zero word; value
    // offsets count from the first entry.
    const uint64_t start = 128u + inode.ExtraIsize;
    if (ReadLe32(raw, static_cast<int64_t>(start)) != 0xEA020000u) return out;
    const uint64_t first = start + 4;
    for (uint64_t at = first; at + 16 <= raw.size();) {
        const uint8_t nameLen = raw[at];
        const uint8_t nameIndex = raw[at + 1];
        if (nameLen == 0 && nameIndex == 0 && ReadLe32(raw, static_cast<int64_t>(at)) == 0) break;
        const uint16_t valueOffs = ReadLe16(raw, static_cast<int64_t>(at + 2));
        const uint32_t valueInum = ReadLe32(raw, static_cast<int64_t>(at + 4));
        const uint32_t valueSize = ReadLe32(raw, static_cast<int64_t>(at + 8));
        if (at + 16 + nameLen > raw.size()) break;
        const bool isData = nameIndex == 7 && nameLen == 4 && std::equal(raw.begin() + static_cast<std::ptrdiff_t>(at + 16),
                                                                          raw.begin() + static_cast<std::ptrdiff_t>(at + 20), "data");
        if (isData && valueInum == 0) {
            const uint64_t v = first + valueOffs;
            if (v <= raw.size() && raw.size() - v >= valueSize)
                out.insert(out.end(), raw.begin() + static_cast<std::ptrdiff_t>(v), raw.begin() + static_cast<std::ptrdiff_t>(v + valueSize));
            break;
        }
        at += (16u + nameLen + 3u) & ~3u;
    }
    if (out.size() > inode.Size) out.resize(static_cast<size_t>(inode.Size));
    return out;
}

} // namespace brivo
