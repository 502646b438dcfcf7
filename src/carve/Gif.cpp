#include <cstring>

#include "carve/CarveFormat.h"

namespace brivo::carve {

namespace {
// Data sub-blocks, each led by its length, to the empty one.
bool SkipSubBlocks(TCarveCursor& c) {
    for (;;) {
        const int n = c.Byte();
        if (n < 0) return false;
        if (n == 0) return true;
        if (!c.Skip(static_cast<uint64_t>(n))) return false;
    }
}
} // namespace

// Header, screen descriptor and colour table, then extension and image blocks to the
// trailer byte.
TCarveHit WalkGif(TCarveInput& in) {
    TCarveCursor c(in);
    uint8_t h[13];
    if (!c.Read(h, 13) || (std::memcmp(h, "GIF87a", 6) != 0 && std::memcmp(h, "GIF89a", 6) != 0)) return {};
    if (h[10] & 0x80) c.Skip(3ull << ((h[10] & 7) + 1));
    int images = 0;
    auto cut = [&](uint64_t at) { return images ? Ended(TCarveEnd::CutShort, std::min(at, in.Size()), "gif") : TCarveHit{}; };
    for (;;) {
        const uint64_t at = c.Pos();
        const int b = c.Byte();
        if (b == 0x3B) return images ? Ended(TCarveEnd::Complete, c.Pos(), "gif") : TCarveHit{};
        if (b == 0x21) {
            if (c.Byte() < 0 || !SkipSubBlocks(c)) return cut(in.Size());
        } else if (b == 0x2C) {
            uint8_t d[9];
            if (!c.Read(d, 9)) return cut(in.Size());
            if (d[8] & 0x80) c.Skip(3ull << ((d[8] & 7) + 1));
            const int lzw = c.Byte();
            if (lzw < 0) return cut(in.Size());
            if (lzw < 2 || lzw > 12) return cut(at);
            if (!SkipSubBlocks(c)) return cut(in.Size());
            ++images;
        } else {
            return cut(b < 0 ? in.Size() : at);
        }
    }
}

} // namespace brivo::carve
