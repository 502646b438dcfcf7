#include "ext/ExtDir.h"

#include "core/Crc32c.h"

namespace brivo {

namespace {

bool NameOk(ByteSpan b, size_t at, size_t len) {
    if (len == 0 || at + len > b.size()) return false;
    for (size_t i = 0; i < len; ++i)
        if (b[at + i] == 0 || b[at + i] == '/') return false;
    return true;
}

size_t NameLength(ByteSpan b, size_t at, const TExtDirOptions& o) {
    return o.FileType ? ReadU8(b, static_cast<int64_t>(at + 6)) : ReadLe16(b, static_cast<int64_t>(at + 6)) & 0xFF;
}

// A plausible entry of at most `room` bytes at `at`, deleted or not.
bool EntryAt(ByteSpan b, size_t at, size_t room, const TExtDirOptions& o, TExtDirEntry& e, bool needInode) {
    if (room < 12 || at + 8 > b.size()) return false;
    const uint32_t inode = ReadLe32(b, static_cast<int64_t>(at));
    const size_t nameLen = NameLength(b, at, o);
    if (8 + nameLen > room) return false;
    if (needInode && (inode == 0 || (o.InodesCount != 0 && inode >= o.InodesCount + 1))) return false;
    if (!NameOk(b, at + 8, nameLen)) return false;
    const uint8_t type = o.FileType ? ReadU8(b, static_cast<int64_t>(at + 7)) : 0;
    if (type > 7) return false;
    e.Inode = inode;
    e.Type = type;
    e.Name.assign(reinterpret_cast<const char*>(b.data() + at + 8), nameLen);
    e.Offset = static_cast<uint32_t>(at);
    return true;
}

// Deleted entries inside [from, to) of a block: tried at every 4-byte step.
void Gap(ByteSpan b, size_t from, size_t to, const TExtDirOptions& o, std::vector<TExtDirEntry>& out) {
    for (size_t at = (from + 3) & ~size_t{3}; at + 12 <= to;) {
        TExtDirEntry e;
        const uint16_t recLen = ReadLe16(b, static_cast<int64_t>(at + 4));
        if (recLen >= 12 && recLen % 4 == 0 && EntryAt(b, at, to - at, o, e, true)) {
            const size_t own = (8 + e.Name.size() + 3) & ~size_t{3};
            if (recLen >= own) {
                e.Deleted = true;
                out.push_back(std::move(e));
                at += own;
                continue;
            }
        }
        at += 4;
    }
}

} // namespace

uint32_t ExtDirRecLen(uint16_t stored, uint32_t blockSize) {
    if (blockSize < 65536) return stored;
    if (stored == 65535 || stored == 0) return blockSize;
    return (stored & 65532u) | ((stored & 3u) << 16);
}

TExtDirBlock DecodeExtDirBlock(ByteSpan b, const TExtDirOptions& o) {
    TExtDirBlock d;
    const size_t size = b.size();
    if (size < 12) return d;
    size_t end = size;
    // The checksum tail: a record of 12 bytes with inode 0, name length 0 and type 0xDE.
    if (size >= 12 && ReadLe32(b, static_cast<int64_t>(size - 12)) == 0 && ReadLe16(b, static_cast<int64_t>(size - 8)) == 12 &&
        ReadU8(b, static_cast<int64_t>(size - 6)) == 0 && ReadU8(b, static_cast<int64_t>(size - 5)) == 0xDE) {
        d.HasTail = true;
        d.TailChecksum = ReadLe32(b, static_cast<int64_t>(size - 4));
        end = size - 12;
    }
    const uint32_t blockSize = static_cast<uint32_t>(size);
    // An htree interior node: one empty record over the whole block.
    if (ReadLe32(b, 0) == 0 && ExtDirRecLen(ReadLe16(b, 4), blockSize) == size && NameLength(b, 0, o) == 0) {
        const uint16_t limit = ReadLe16(b, 8), count = ReadLe16(b, 10);
        if (count >= 1 && count <= limit && 8 + size_t{limit} * 8 <= size) {
            d.IsHtreeNode = true;
            d.Valid = true;
            return d;
        }
    }
    size_t at = 0;
    bool first = true;
    while (at < end) {
        if (end - at < 12) break;
        const uint32_t recLen = ExtDirRecLen(ReadLe16(b, static_cast<int64_t>(at + 4)), blockSize);
        if (recLen < 12 || recLen % 4 != 0 || recLen > end - at) break;
        const uint32_t inode = ReadLe32(b, static_cast<int64_t>(at));
        const size_t nameLen = NameLength(b, at, o);
        if (8 + nameLen > recLen) break;
        TExtDirEntry e;
        size_t own = 8;
        if (inode != 0) {
            if (o.InodesCount != 0 && inode > o.InodesCount) break;
            if (!EntryAt(b, at, recLen, o, e, true)) break;
            own = (8 + nameLen + 3) & ~size_t{3};
            d.Entries.push_back(std::move(e));
        } else if (nameLen != 0 && o.WithDeleted && EntryAt(b, at, recLen, o, e, false)) {
            // The first record of a block keeps its name when its file is removed.
            e.Deleted = true;
            own = (8 + nameLen + 3) & ~size_t{3};
            d.Entries.push_back(std::move(e));
        }
        // The root of a hash tree: "." then ".." whose record covers the rest of the block.
        if (first && inode != 0 && nameLen == 1 && b[at + 8] == '.' && recLen == 12) {
            const size_t next = at + 12;
            const uint32_t rl2 = ExtDirRecLen(ReadLe16(b, static_cast<int64_t>(next + 4)), blockSize);
            if (next + 12 <= size && rl2 == size - 12 && NameLength(b, next, o) == 2 && ReadU8(b, static_cast<int64_t>(next + 8)) == '.' &&
                ReadU8(b, static_cast<int64_t>(next + 9)) == '.' && ReadLe32(b, static_cast<int64_t>(next + 12)) == 0 &&
                ReadU8(b, static_cast<int64_t>(next + 8 + 4 + 5)) == 8) {
                TExtDirEntry dotdot;
                if (EntryAt(b, next, rl2, o, dotdot, true)) {
                    d.Entries.push_back(std::move(dotdot));
                    d.IsHtreeRoot = true;
                    d.HtreeLevels = ReadU8(b, static_cast<int64_t>(next + 8 + 4 + 6));
                    d.Valid = true;
                    return d;
                }
            }
        }
        first = false;
        if (o.WithDeleted && recLen > own) Gap(b, at + own, at + recLen, o, d.Entries);
        at += recLen;
    }
    d.Valid = at == end;
    return d;
}

bool LooksLikeExtDirStart(ByteSpan b, const TExtDirOptions& o, uint32_t* self, uint32_t* parent) {
    if (b.size() < 24) return false;
    const uint32_t dot = ReadLe32(b, 0);
    const uint16_t rl = ReadLe16(b, 4);
    if (dot == 0 || rl != 12 || NameLength(b, 0, o) != 1 || b[8] != '.') return false;
    if (o.FileType && b[7] != 2) return false;
    const uint32_t up = ReadLe32(b, 12);
    const uint32_t rl2 = ExtDirRecLen(ReadLe16(b, 16), static_cast<uint32_t>(b.size()));
    if (up == 0 || NameLength(b, 12, o) != 2 || b[20] != '.' || b[21] != '.') return false;
    if (o.FileType && b[19] != 2) return false;
    if (rl2 < 12 || rl2 % 4 != 0 || rl2 > b.size() - 12) return false;
    if (o.InodesCount != 0 && (dot > o.InodesCount || up > o.InodesCount)) return false;
    if (self) *self = dot;
    if (parent) *parent = up;
    return true;
}

uint32_t ExtDirBlockChecksum(ByteSpan block, uint32_t seed, uint32_t inode, uint32_t generation) {
    const uint8_t num[4] = {static_cast<uint8_t>(inode), static_cast<uint8_t>(inode >> 8), static_cast<uint8_t>(inode >> 16),
                            static_cast<uint8_t>(inode >> 24)};
    const uint8_t gen[4] = {static_cast<uint8_t>(generation), static_cast<uint8_t>(generation >> 8),
                            static_cast<uint8_t>(generation >> 16), static_cast<uint8_t>(generation >> 24)};
    uint32_t c = Crc32c(seed, num);
    c = Crc32c(c, gen);
    return Crc32c(c, block.subspan(0, block.size() >= 12 ? block.size() - 12 : 0));
}

} // namespace brivo
