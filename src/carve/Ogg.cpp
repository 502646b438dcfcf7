
#include <cstring>

#include "carve/CarveFormat.h"

namespace brivo::carve {

// Pages of one logical stream, from the page that begins it to the page that ends it.
// Each page's length comes from its segment table; a page of another stream (a chained
// or multiplexed file) is followed too, as long as it is a page.
TCarveHit WalkOgg(TCarveInput& in) {
    TCarveCursor c(in);
    int pages = 0;
    uint32_t firstSerial = 0;
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
        if (!c.Skip(body)) return pages ? Ended(TCarveEnd::CutShort, in.Size(), "ogg") : TCarveHit{};
        ++pages;
        if ((flags & 0x04) && serial == firstSerial) return Ended(TCarveEnd::Complete, c.Pos(), "ogg");
    }
}

} // namespace brivo::carve
