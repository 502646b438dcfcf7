#include <zlib.h>

#include <cstring>

#include "carve/CarveFormat.h"

namespace brivo::carve {

namespace {

uint32_t Le32(const uint8_t* p) { return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24; }
uint16_t Le16(const uint8_t* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// RAR 4: 7-byte block headers (CRC, type, flags, size), data after them for file blocks;
// each header's CRC checked, to the end-of-archive block.
TCarveHit WalkRar4(TCarveInput& in) {
    uint64_t at = 7;
    int blocks = 0;
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
        at += size + add;
        if (type == 0x7B) return Ended(TCarveEnd::Complete, at, "rar");
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
        at += headLen + data;
        if (type == 5) return Ended(TCarveEnd::Complete, at, "rar");
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
