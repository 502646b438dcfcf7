#include "ext/ExtCrc.h"

#include <cstring>

#include "core/ExtSuperblock.h"

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define BRIVO_EXT_CRC_HW 1
#endif

namespace brivo {

#ifdef BRIVO_EXT_CRC_HW
namespace {

__attribute__((target("sse4.2"))) uint32_t Crc32cHardware(uint32_t crc, const uint8_t* p, size_t n) {
    uint64_t c = crc;
    for (; n >= 8; p += 8, n -= 8) {
        uint64_t word = 0;
        std::memcpy(&word, p, 8);
        c = _mm_crc32_u64(c, word);
    }
    auto c32 = static_cast<uint32_t>(c);
    for (; n > 0; ++p, --n) c32 = _mm_crc32_u8(c32, *p);
    return c32;
}

bool HaveCrcInstruction() {
    static const bool have = __builtin_cpu_supports("sse4.2");
    return have;
}

} // namespace
#endif

uint32_t ExtCrc32cFast(uint32_t crc, ByteSpan bytes) {
#ifdef BRIVO_EXT_CRC_HW
    if (HaveCrcInstruction()) return Crc32cHardware(crc, bytes.data(), bytes.size());
#endif
    return ExtCrc32c(crc, bytes);
}

} // namespace brivo
