#pragma once
#include <cstdint>

#include "core/ByteReaders.h"

namespace brivo {

// CRC32C as ExtCrc32c computes it, with the processor's own instruction where it has one:
// every inode, folder block and journal copy is checked, and a large volume has millions.
uint32_t ExtCrc32cFast(uint32_t crc, ByteSpan bytes);

} // namespace brivo
