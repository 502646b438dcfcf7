#include "volumes/Crc32.h"

#include <zlib.h>

namespace brivo {

uint32_t Crc32(std::span<const uint8_t> bytes, uint32_t crc) {
    return static_cast<uint32_t>(crc32_z(crc, bytes.data(), bytes.size()));
}

} // namespace brivo
