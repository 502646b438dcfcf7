#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "carve/CarveFormat.h"

namespace brivo::carve {

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// The CRC-32 of n bytes at offset, read a block at a time; false when they cannot be read.
bool DataCrc(TCarveInput& in, uint64_t at, uint64_t n, uint32_t& crc) {
    std::vector<uint8_t> buf(static_cast<size_t>(std::min<uint64_t>(n, 64 * 1024)));
    uLong c = crc32(0L, Z_NULL, 0);
    while (n > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, buf.size()));
        if (in.Read(at, buf.data(), k) != k) return false;
        c = crc32(c, buf.data(), static_cast<uInt>(k));
        at += k;
        n -= k;
    }
    crc = static_cast<uint32_t>(c);
    return true;
}

// How a whole archive's files check out: their data is checked only where it is stored as
// it is (a packed file's CRC is of its unpacked bytes, which needs a decoder not here).
struct TMemberCheck {
    uint64_t FirstBad = UINT64_MAX;        // the data of a stored file whose CRC fails
    uint64_t FirstUnchecked = UINT64_MAX;  // the data of a packed, encrypted or split file
    void Stored(TCarveInput& in, uint64_t at, uint64_t n, uint32_t stated) {
        uint32_t crc = 0;
        if (!DataCrc(in, at, n, crc) || crc != stated) FirstBad = std::min(FirstBad, at);
    }
    TCarveHit Whole(uint64_t end) const {
        if (FirstBad != UINT64_MAX) {
            TCarveHit h = Ended(TCarveEnd::Damaged, end, "rar");
            h.ProvenBytes = std::min(FirstBad, FirstUnchecked);
            return h;
        }
        if (FirstUnchecked != UINT64_MAX) return Unchecked(end, FirstUnchecked, "rar");
        return Ended(TCarveEnd::Complete, end, "rar");
    }
};

// RAR 4: 7-byte block headers (CRC, type, flags, size), data after them for file blocks;
// each header's CRC checked, to the end-of-archive block.
TCarveHit WalkRar4(TCarveInput& in) {
    uint64_t at = 7;
    int blocks = 0;
    TMemberCheck check;
    std::vector<uint8_t> head;
    for (;;) {
        uint8_t h[11];
        const size_t got = in.Read(at, h, 11);
        if (got < 7) return blocks ? Ended(TCarveEnd::CutShort, in.Size(), "rar") : TCarveHit{};
        const uint8_t type = h[2];
        const uint16_t flags = Le16(h + 3), size = Le16(h + 5);
        if (type < 0x73 || type > 0x7B || size < 7 || (blocks == 0 && type != 0x73))
            return blocks ? Ended(TCarveEnd::CutShort, at, "rar") : TCarveHit{};
        if (size > in.Size() - at) return blocks ? Ended(TCarveEnd::CutShort, in.Size(), "rar") : TCarveHit{};
        head.resize(size);
        if (in.Read(at, head.data(), size) != size) return Ended(TCarveEnd::CutShort, in.Size(), "rar");
        // The archive header's CRC covers only its fixed part in old writers' archives.
        uint32_t crc = static_cast<uint32_t>(crc32(0L, head.data() + 2, size - 2u));
        if ((crc & 0xFFFF) != Le16(h) && !(type == 0x73 && size >= 13 &&
                                           (crc32(0L, head.data() + 2, 11) & 0xFFFF) == Le16(h)))
            return blocks ? Ended(TCarveEnd::CutShort, at, "rar") : TCarveHit{};
        uint64_t add = 0;
        if ((flags & 0x8000) || type == 0x74 || type == 0x7A) {
            if (size < 11) return blocks ? Ended(TCarveEnd::CutShort, at, "rar") : TCarveHit{};
            add = Le32(head.data() + 7);
            // Files of 4 GiB or more keep the high half of the packed size further on.
            if ((type == 0x74 || type == 0x7A) && (flags & 0x100) && size >= 36) add |= uint64_t{Le32(head.data() + 32)} << 32;
        }
        ++blocks;
        if (add > in.Size() - at - size) return Ended(TCarveEnd::CutShort, in.Size(), "rar");
        if (type == 0x74) {
            // Stored (method '0'), not encrypted, not split over volumes: its CRC is of these bytes.
            if (size >= 26 && head[25] == 0x30 && !(flags & 0x07) && !(flags & 0x100))
                check.Stored(in, at + size, add, Le32(head.data() + 16));
            else
                check.FirstUnchecked = std::min(check.FirstUnchecked, at + size);
        }
        at += size + add;
        if (type == 0x7B) return check.Whole(at);
    }
}

// A RAR 5 variable-length integer; false when it runs past n or past 10 bytes.
bool Vint(const uint8_t* p, size_t n, size_t& pos, uint64_t& v) {
    v = 0;
    for (int shift = 0; shift < 70 && pos < n; shift += 7) {
        const uint8_t b = p[pos++];
        if (shift < 64) v |= uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80)) return true;
    }
    return false;
}

// RAR 5: each header is its CRC32, its size and type as variable-length integers, and
// data after it when its flags say so; to the end-of-archive header. Headers stored
// encrypted cannot be followed: such an archive runs to where the searched bytes stop
// being its own.
TCarveHit WalkRar5(TCarveInput& in) {
    uint64_t at = 8;
    int blocks = 0;
    TMemberCheck check;
    std::vector<uint8_t> head;
    for (;;) {
        uint8_t h[16];
        const size_t got = in.Read(at, h, 16);
        size_t pos = 4;
        uint64_t size = 0;
        if (got < 6) return blocks ? Ended(TCarveEnd::CutShort, in.Size(), "rar") : TCarveHit{};
        if (!Vint(h, got, pos, size) || size == 0 || size > 2 * 1024 * 1024)
            return blocks ? Ended(TCarveEnd::CutShort, at, "rar") : TCarveHit{};
        const uint64_t headLen = pos + size;
        if (headLen > in.Size() - at) return blocks ? Ended(TCarveEnd::CutShort, in.Size(), "rar") : TCarveHit{};
        head.resize(static_cast<size_t>(headLen));
        if (in.Read(at, head.data(), head.size()) != head.size()) return Ended(TCarveEnd::CutShort, in.Size(), "rar");
        if (crc32(0L, head.data() + 4, static_cast<uInt>(headLen - 4)) != Le32(head.data()))
            return blocks ? Ended(TCarveEnd::CutShort, at, "rar") : TCarveHit{};
        uint64_t type = 0, flags = 0, extra = 0, data = 0;
        if (!Vint(head.data(), head.size(), pos, type) || !Vint(head.data(), head.size(), pos, flags) ||
            ((flags & 1) && !Vint(head.data(), head.size(), pos, extra)) ||
            ((flags & 2) && !Vint(head.data(), head.size(), pos, data)) || type == 0 || type > 5 ||
            (blocks == 0 && type != 1 && type != 4))
            return blocks ? Ended(TCarveEnd::CutShort, at, "rar") : TCarveHit{};
        ++blocks;
        if (data > in.Size() - at - headLen) return Ended(TCarveEnd::CutShort, in.Size(), "rar");
        if (type == 2 && data > 0) {
            // A file: its flags, sizes, time and CRC, then how it is packed. Stored (method 0),
            // with a CRC, not split and with no extra area (where encryption is recorded).
            uint64_t fileFlags = 0, unpacked = 0, attrs = 0, info = 0;
            size_t p = pos;
            bool stored = Vint(head.data(), head.size(), p, fileFlags) && Vint(head.data(), head.size(), p, unpacked) &&
                          Vint(head.data(), head.size(), p, attrs);
            if (stored && (fileFlags & 2)) p += 4;
            uint32_t crc = 0;
            stored = stored && (fileFlags & 4) && p + 4 <= head.size();
            if (stored) {
                crc = Le32(head.data() + p);
                p += 4;
            }
            stored = stored && Vint(head.data(), head.size(), p, info) && ((info >> 7) & 7) == 0 &&
                     !(flags & 0x18) && !(flags & 1) && unpacked == data;
            if (stored) check.Stored(in, at + headLen, data, crc);
            else check.FirstUnchecked = std::min(check.FirstUnchecked, at + headLen);
        }
        at += headLen + data;
        if (type == 5) return check.Whole(at);
        if (type == 4) {
            uint64_t s = (at + 511) / 512 * 512;
            while (s < in.Size() && !in.EndsHere(s)) s += 512;
            return Ended(TCarveEnd::CutShort, std::min(in.Size(), s), "rar");
        }
    }
}

} // namespace

TCarveHit WalkRar(TCarveInput& in) {
    uint8_t sig[8];
    const size_t got = in.Read(0, sig, 8);
    if (got >= 7 && std::memcmp(sig, "Rar!\x1A\x07\x00", 7) == 0) return WalkRar4(in);
    if (got == 8 && std::memcmp(sig, "Rar!\x1A\x07\x01\x00", 8) == 0) return WalkRar5(in);
    return {};
}

} // namespace brivo::carve
