#include <cstring>

#include "carve/CarveFormat.h"
#include "core/ByteReaders.h"

namespace brivo::carve {

// A RIFF file states its size. An AVI over 1 GiB goes on in further "RIFF....AVIX" lists
// right after the first, which belong to the same file.
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
    // The pad byte of an odd-sized last chunk is often missing; that is still whole.
    if (end > in.Size()) {
        if (end - 1 == in.Size() && (size & 1)) return Ended(TCarveEnd::Complete, in.Size(), ext);
        return Ended(TCarveEnd::CutShort, in.Size(), ext);
    }
    return Ended(TCarveEnd::Complete, end, ext);
}

} // namespace brivo::carve
