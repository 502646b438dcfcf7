#include "core/Crc32c.h"

#include <array>
#include <cstring>

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))
#include <nmmintrin.h>
#define BRIVO_CRC32C_HW 1
#endif

namespace brivo {

namespace {

const std::array<uint32_t, 256>& Crc32cTable() {
    static const std::array<uint32_t, 256> table = [] {
        std::array<uint32_t, 256> t{};
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) c = (c & 1) ? (c >> 1) ^ 0x82F63B78u : c >> 1;
            t[i] = c;
        }
        return t;
    }();
    return table;
}

#ifdef BRIVO_CRC32C_HW
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
#endif

} // namespace

uint32_t Crc32cPortable(uint32_t crc, ByteSpan bytes) {
    const auto& t = Crc32cTable();
    for (uint8_t b : bytes) crc = t[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return crc;
}

uint32_t Crc32c(uint32_t crc, ByteSpan bytes) {
#ifdef BRIVO_CRC32C_HW
    if (HaveCrcInstruction()) return Crc32cHardware(crc, bytes.data(), bytes.size());
#endif
    return Crc32cPortable(crc, bytes);
}

} // namespace brivo
