#include <zlib.h>

#include <cstring>

#include "carve/CarveFormat.h"

namespace brivo::carve {

namespace {
bool ChunkTypeOk(const uint8_t* t) {
    for (int i = 0; i < 4; ++i)
        if (!((t[i] >= 'A' && t[i] <= 'Z') || (t[i] >= 'a' && t[i] <= 'z'))) return false;
    return true;
}
} // namespace

// Chunk by chunk to IEND, each chunk's CRC checked: a chunk whose CRC fails is where the
// file's bytes stop being its own (overwritten, or the next fragment is elsewhere).
TCarveHit WalkPng(TCarveInput& in) {
    static const uint8_t kSig[8] = {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n'};
    TCarveCursor c(in);
    uint8_t sig[8];
    if (!c.Read(sig, 8) || std::memcmp(sig, kSig, 8) != 0) return {};
    std::vector<uint8_t> data(64 * 1024);
    int chunks = 0;
    for (;;) {
        const uint64_t chunkAt = c.Pos();
        uint8_t hdr[8];
        if (!c.Read(hdr, 8)) return chunks ? Ended(TCarveEnd::CutShort, in.Size(), "png") : TCarveHit{};
        const uint32_t len = ReadBe32(hdr, 0);
        if (len > 0x7FFFFFFF || !ChunkTypeOk(hdr + 4) || (chunks == 0 && (len != 13 || std::memcmp(hdr + 4, "IHDR", 4) != 0)))
            return chunks ? Ended(TCarveEnd::CutShort, chunkAt, "png") : TCarveHit{};
        if (len > in.Size() - c.Pos()) return chunks ? Ended(TCarveEnd::CutShort, in.Size(), "png") : TCarveHit{};
        uLong crc = crc32(0L, hdr + 4, 4);
        for (uint32_t left = len; left > 0;) {
            const uint32_t k = std::min<uint32_t>(left, static_cast<uint32_t>(data.size()));
            if (!c.Read(data.data(), k)) return chunks ? Ended(TCarveEnd::CutShort, in.Size(), "png") : TCarveHit{};
            crc = crc32(crc, data.data(), k);
            left -= k;
        }
        uint8_t cb[4];
        if (!c.Read(cb, 4)) return chunks ? Ended(TCarveEnd::CutShort, in.Size(), "png") : TCarveHit{};
        if (ReadBe32(cb, 0) != static_cast<uint32_t>(crc))
            return chunks ? Ended(TCarveEnd::CutShort, chunkAt, "png") : TCarveHit{};
        ++chunks;
        if (std::memcmp(hdr + 4, "IEND", 4) == 0) return Ended(TCarveEnd::Complete, c.Pos(), "png");
    }
}

} // namespace brivo::carve
