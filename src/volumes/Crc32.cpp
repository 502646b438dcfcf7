#include "volumes/Crc32.h"

#include <array>

namespace brivo {

namespace {

constexpr std::array<uint32_t, 256> MakeTable() {
    std::array<uint32_t, 256> t{};
    for (uint32_t i = 0; i < 256; ++i) {
        uint32_t c = i;
        for (int k = 0; k < 8; ++k) c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[i] = c;
    }
    return t;
}

constexpr auto kTable = MakeTable();

} // namespace

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
    crc = ~crc;
    for (uint8_t b : bytes) crc = kTable[(crc ^ b) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

} // namespace brivo
