#include <cstring>

#include "carve/CarveFormat.h"
#include "core/ByteReaders.h"

namespace brivo::carve {

// A RIFF file states its size. An AVI over 1 GiB goes on in further "RIFF....AVIX" lists
// right after the first, which belong to the same file. Sound samples and video frames
// carry no check: a whole one is proven up to its first chunk of them only.
TCarveHit WalkRiff(TCarveInput& in) {
    uint8_t h[20];
    if (in.Read(0, h, sizeof h) != sizeof h || std::memcmp(h, "RIFF", 4) != 0) return {};
    std::string ext;
    if (std::memcmp(h + 8, "WAVE", 4) == 0) ext = "wav";
    else if (std::memcmp(h + 8, "AVI ", 4) == 0) ext = "avi";
    else if (std::memcmp(h + 8, "WEBP", 4) == 0) ext = "webp";
    else return {};
    for (int i = 12; i < 16; ++i)
        if (h[i] < 0x20 || h[i] > 0x7E) return {};
    const uint32_t size = ReadLe32(ByteSpan(h, sizeof h), 4);
    if (size < 12) return {};
    uint64_t end = 8ull + size + (size & 1);
    if (ext == "avi") {
        for (int lists = 0; lists < 4096; ++lists) {
            uint8_t x[12];
            if (in.Read(end, x, 12) != 12 || std::memcmp(x, "RIFF", 4) != 0 || std::memcmp(x + 8, "AVIX", 4) != 0) break;
            const uint32_t n = ReadLe32(ByteSpan(x, 12), 4);
            end += 8ull + n + (n & 1);
        }
    }
    // The headers run up to the first chunk of media ("data", a "movi" list, a picture's
    // coded data); a few dozen chunks at most.
    uint64_t media = 12;
    for (int chunks = 0; chunks < 64 && media + 12 <= in.Size(); ++chunks) {
        uint8_t c[12];
        if (in.Read(media, c, 12) != 12) break;
        const uint32_t n = ReadLe32(ByteSpan(c, 12), 4);
        if (std::memcmp(c, "data", 4) == 0 || std::memcmp(c, "VP8", 3) == 0 || std::memcmp(c, "ANMF", 4) == 0 ||
            (std::memcmp(c, "LIST", 4) == 0 && std::memcmp(c + 8, "movi", 4) == 0))
            break;
        media += 8ull + n + (n & 1);
    }
    // The pad byte of an odd-sized last chunk is often missing; that is still whole.
    if (end > in.Size()) {
        if (end - 1 == in.Size() && (size & 1)) return Unchecked(in.Size(), media, ext);
        return Ended(TCarveEnd::CutShort, in.Size(), ext);
    }
    return Unchecked(end, media, ext);
}

} // namespace brivo::carve
