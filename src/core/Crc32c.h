#pragma once
#include <cstdint>

#include "core/ByteReaders.h"

namespace brivo {

// CRC32C (Castagnoli) as ext4 and its journal use it: no inversion in or out, crc is the
// running value (start from ~0u and invert the end for the usual check value). With the
// processor's own instruction where it has one: every inode, folder block and journal copy
// of a volume is checked, and a large volume has millions.
uint32_t Crc32c(uint32_t crc, ByteSpan bytes);

// The same sum from a table, byte by byte: what Crc32c gives on a processor without the
// instruction.
uint32_t Crc32cPortable(uint32_t crc, ByteSpan bytes);

} // namespace brivo
