#pragma once
#include <cstdint>
#include <span>

namespace brivo {

// CRC-32 with the reflected polynomial 0xEDB88320, as GPT headers and entry arrays use.
uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc = 0);

} // namespace brivo
