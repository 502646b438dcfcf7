
#include <algorithm>
#include <array>
#include <cstring>

#include "carve/CarveFormat.h"

namespace brivo::carve {

namespace {

// The page checksum: CRC-32 with the polynomial 0x04C11DB7, not reflected, starting at 0.
const std::array<uint32_t, 256>& PageCrcTable() {
    static const std::array<uint32_t, 256> t = [] {
        std::array<uint32_t, 256> r{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t v = i << 24;
            for (int k = 0; k < 8; ++k) v = v & 0x80000000u ? (v << 1) ^ 0x04C11DB7u : v << 1;
            r[i] = v;
        }
        return r;
    }();
    return t;
}

uint32_t PageCrc(uint32_t crc, const uint8_t* p, size_t n) {
    const auto& t = PageCrcTable();
    for (size_t i = 0; i < n; ++i) crc = (crc << 8) ^ t[((crc >> 24) ^ p[i]) & 0xFF];
    return crc;
}

} // namespace

// Pages of one logical stream, from the page that begins it to the page that ends it.
// Each page's length comes from its segment table; a page of another stream (a chained
// or multiplexed file) is followed too, as long as it is a page. Every page carries a
// checksum over its bytes: the file is Complete only when each one matches; where one fails
// the file is Damaged from that page on.
TCarveHit WalkOgg(TCarveInput& in) {
    TCarveCursor c(in);
    int pages = 0;
    uint32_t firstSerial = 0;
    uint64_t firstBad = UINT64_MAX;
    for (;;) {
        const uint64_t at = c.Pos();
        uint8_t h[27];
        if (!c.Read(h, 27)) return pages ? Ended(TCarveEnd::CutShort, in.Size(), "ogg") : TCarveHit{};
        if (std::memcmp(h, "OggS", 4) != 0 || h[4] != 0)
            return pages ? Ended(TCarveEnd::CutShort, at, "ogg") : TCarveHit{};
        const uint8_t flags = h[5];
        const uint32_t serial = h[14] | h[15] << 8 | h[16] << 16 | uint32_t(h[17]) << 24;
        if (pages == 0) {
            if (!(flags & 0x02)) return {};
            firstSerial = serial;
        }
        uint8_t seg[255];
        if (!c.Read(seg, h[26])) return pages ? Ended(TCarveEnd::CutShort, in.Size(), "ogg") : TCarveHit{};
        uint64_t body = 0;
        for (int i = 0; i < h[26]; ++i) body += seg[i];
        const uint32_t stated = h[22] | h[23] << 8 | h[24] << 16 | uint32_t(h[25]) << 24;
        std::memset(h + 22, 0, 4);
        uint32_t crc = PageCrc(PageCrc(0, h, 27), seg, h[26]);
        uint8_t chunk[255];
        for (uint64_t left = body; left > 0;) {
            const size_t n = static_cast<size_t>(std::min<uint64_t>(left, sizeof chunk));
            if (!c.Read(chunk, n)) return pages ? Ended(TCarveEnd::CutShort, in.Size(), "ogg") : TCarveHit{};
            crc = PageCrc(crc, chunk, n);
            left -= n;
        }
        if (crc != stated) firstBad = std::min(firstBad, at);
        ++pages;
        if ((flags & 0x04) && serial == firstSerial) {
            TCarveHit hit = Ended(TCarveEnd::Complete, c.Pos(), "ogg");
            if (firstBad != UINT64_MAX) {
                hit.End = TCarveEnd::Damaged;
                hit.ProvenBytes = firstBad;
            }
            return hit;
        }
    }
}

} // namespace brivo::carve
