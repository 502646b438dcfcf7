#include <zlib.h>

#include <cstring>

#include "carve/CarveFormat.h"
#include "core/ByteReaders.h"

namespace brivo::carve {

// The start header (guarded by its CRC) says where the archive's closing header is and
// how long it is; the archive ends there.
TCarveHit Walk7z(TCarveInput& in) {
    static const uint8_t kSig[6] = {'7', 'z', 0xBC, 0xAF, 0x27, 0x1C};
    uint8_t h[32];
    if (in.Read(0, h, 32) != 32 || std::memcmp(h, kSig, 6) != 0 || h[6] != 0) return {};
    const ByteSpan b(h, 32);
    if (crc32(0L, h + 12, 20) != ReadLe32(b, 8)) return {};
    const uint64_t off = ReadLe64(b, 12), size = ReadLe64(b, 20);
    if (off > (uint64_t{1} << 48) || size == 0 || size > (uint64_t{1} << 32)) return {};
    const uint64_t end = 32 + off + size;
    if (end > in.Size()) return Ended(TCarveEnd::CutShort, in.Size(), "7z");
    uint8_t first = 0;
    // The closing header opens with its kind: a header (1) or a packed header (0x17).
    if (in.Read(32 + off, &first, 1) != 1 || (first != 0x01 && first != 0x17))
        return Ended(TCarveEnd::CutShort, std::min<uint64_t>(32 + off, in.Size()), "7z");
    // The packed streams are checked only once unpacked, which needs a decoder not here.
    return Unchecked(end, 32, "7z");
}

} // namespace brivo::carve
