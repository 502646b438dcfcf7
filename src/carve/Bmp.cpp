#include "carve/CarveFormat.h"
#include "core/ByteReaders.h"

namespace brivo::carve {

// A BMP states its size; the header must agree with itself before that size is trusted.
// Its pixels carry no check: a whole one is proven up to them only.
TCarveHit WalkBmp(TCarveInput& in) {
    uint8_t h[54] = {};
    if (in.Read(0, h, sizeof h) < 30 || h[0] != 'B' || h[1] != 'M') return {};
    const ByteSpan b(h, sizeof h);
    const uint32_t size = ReadLe32(b, 2), dataOff = ReadLe32(b, 10), dib = ReadLe32(b, 14);
    if (ReadLe32(b, 6) != 0) return {};
    if (dib != 12 && dib != 40 && dib != 52 && dib != 56 && dib != 64 && dib != 108 && dib != 124) return {};
    int64_t w, ht;
    uint32_t planes, bpp, compression = 0;
    if (dib == 12) {
        w = ReadLe16(b, 18);
        ht = ReadLe16(b, 20);
        planes = ReadLe16(b, 22);
        bpp = ReadLe16(b, 24);
    } else {
        w = static_cast<int32_t>(ReadLe32(b, 18));
        ht = static_cast<int32_t>(ReadLe32(b, 22));
        planes = ReadLe16(b, 26);
        bpp = ReadLe16(b, 28);
        compression = ReadLe32(b, 30);
    }
    if (ht < 0) ht = -ht;
    if (w <= 0 || w > 65535 || ht == 0 || ht > 65535 || planes != 1) return {};
    if (bpp != 1 && bpp != 4 && bpp != 8 && bpp != 16 && bpp != 24 && bpp != 32) return {};
    if (compression > 6 && compression != 11 && compression != 12 && compression != 13) return {};
    if (dataOff < 14 + dib || dataOff >= size) return {};
    if (compression == 0) {
        const uint64_t row = ((static_cast<uint64_t>(w) * bpp + 31) / 32) * 4;
        // Some writers pad the end or miss the last row's padding by a little.
        if (dataOff + row * static_cast<uint64_t>(ht) > uint64_t{size} + row) return {};
    }
    if (size > in.Size()) return Ended(TCarveEnd::CutShort, in.Size(), "bmp");
    return Unchecked(size, dataOff, "bmp");
}

} // namespace brivo::carve
