#include <algorithm>
#include <array>
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

// An image's LZW codes, read through its data sub-blocks to the empty one. The check the
// format offers: every code is one the table holds, and the strings they stand for add up
// to exactly the image's pixels. Only lengths are kept, never pixels.
enum class TLzw { Holds, Fails, Broken };
TLzw DecodeImage(TCarveCursor& c, int minSize, uint64_t pixels) {
    std::array<uint16_t, 4096> len{};
    const uint32_t clear = 1u << minSize, eoi = clear + 1;
    uint32_t next = clear + 2, width = static_cast<uint32_t>(minSize) + 1;
    int prev = -1;
    uint64_t produced = 0;
    uint32_t bits = 0, nbits = 0;
    bool ended = false, bad = false;
    for (uint32_t i = 0; i < clear; ++i) len[i] = 1;
    for (;;) {
        const int n = c.Byte();
        if (n < 0) return TLzw::Broken;
        if (n == 0) break;
        uint8_t block[255];
        if (!c.Read(block, static_cast<size_t>(n))) return TLzw::Broken;
        for (int i = 0; i < n && !ended && !bad; ++i) {
            bits |= uint32_t{block[i]} << nbits;
            nbits += 8;
            while (nbits >= width && !ended && !bad) {
                const uint32_t code = bits & ((1u << width) - 1);
                bits >>= width;
                nbits -= width;
                if (code == clear) {
                    next = clear + 2;
                    width = static_cast<uint32_t>(minSize) + 1;
                    prev = -1;
                    continue;
                }
                if (code == eoi) {
                    ended = true;
                    break;
                }
                if (code > next || (code == next && prev < 0) || (code >= clear && code < clear + 2)) {
                    bad = true;
                    break;
                }
                if (prev >= 0 && next < 4096) {
                    len[next] = static_cast<uint16_t>(len[static_cast<size_t>(prev)] + 1);
                    ++next;
                    if (next == (1u << width) && width < 12) ++width;
                }
                produced += len[code];
                if (produced > pixels) bad = true;
                prev = static_cast<int>(code);
            }
        }
    }
    return !bad && produced == pixels ? TLzw::Holds : TLzw::Fails;
}
} // namespace

// Header, screen descriptor and colour table, then extension and image blocks to the
// trailer byte. Each image's codes are decoded (lengths only): a file is Complete when
// every image holds exactly its pixels, Damaged from the first image that does not.
TCarveHit WalkGif(TCarveInput& in) {
    TCarveCursor c(in);
    uint8_t h[13];
    if (!c.Read(h, 13) || (std::memcmp(h, "GIF87a", 6) != 0 && std::memcmp(h, "GIF89a", 6) != 0)) return {};
    if (h[10] & 0x80) c.Skip(3ull << ((h[10] & 7) + 1));
    int images = 0;
    uint64_t firstBad = UINT64_MAX;
    auto cut = [&](uint64_t at) { return images ? Ended(TCarveEnd::CutShort, std::min(at, in.Size()), "gif") : TCarveHit{}; };
    for (;;) {
        const uint64_t at = c.Pos();
        const int b = c.Byte();
        if (b == 0x3B) {
            if (!images) return {};
            TCarveHit hit = Ended(TCarveEnd::Complete, c.Pos(), "gif");
            if (firstBad != UINT64_MAX) {
                hit.End = TCarveEnd::Damaged;
                hit.ProvenBytes = firstBad;
            }
            return hit;
        }
        if (b == 0x21) {
            if (c.Byte() < 0 || !SkipSubBlocks(c)) return cut(in.Size());
        } else if (b == 0x2C) {
            uint8_t d[9];
            if (!c.Read(d, 9)) return cut(in.Size());
            if (d[8] & 0x80) c.Skip(3ull << ((d[8] & 7) + 1));
            const int lzw = c.Byte();
            if (lzw < 0) return cut(in.Size());
            if (lzw < 2 || lzw > 11) return cut(at);
            const uint64_t columns = uint64_t{d[4]} + (uint64_t{d[5]} << 8);
            const uint64_t rows = uint64_t{d[6]} + (uint64_t{d[7]} << 8);
            const TLzw check = DecodeImage(c, lzw, columns * rows);
            if (check == TLzw::Broken) return cut(in.Size());
            if (check == TLzw::Fails) firstBad = std::min(firstBad, at);
            ++images;
        } else {
            return cut(b < 0 ? in.Size() : at);
        }
    }
}

} // namespace brivo::carve
