#pragma once
#include <cstddef>
#include <cstdint>
#include <span>

namespace brivo {

using ByteSpan = std::span<const uint8_t>;

// Little-endian field readers over on-disk bytes. A negative position or a field
// reaching past the end gives 0; they never fail, so callers can read hostile data
// without checking every offset first.
inline uint64_t ReadLeN(ByteSpan b, int64_t pos, int n) {
    if (pos < 0 || n <= 0 || n > 8) return 0;
    const auto upos = static_cast<uint64_t>(pos);
    if (upos > b.size() || b.size() - upos < static_cast<uint64_t>(n)) return 0;
    uint64_t v = 0;
    for (int i = n - 1; i >= 0; --i) v = (v << 8) | b[upos + static_cast<uint64_t>(i)];
    return v;
}
inline uint16_t ReadLe16(ByteSpan b, int64_t pos) { return static_cast<uint16_t>(ReadLeN(b, pos, 2)); }
inline uint32_t ReadLe32(ByteSpan b, int64_t pos) { return static_cast<uint32_t>(ReadLeN(b, pos, 4)); }
inline uint64_t ReadLe64(ByteSpan b, int64_t pos) { return ReadLeN(b, pos, 8); }
inline uint8_t ReadU8(ByteSpan b, int64_t pos) { return static_cast<uint8_t>(ReadLeN(b, pos, 1)); }

// n bytes (1..8) little-endian, sign-extended from the top bit; 0 when out of range.
inline int64_t ReadLeSigned(ByteSpan b, int64_t pos, int n) {
    if (n < 1 || n > 8) return 0;
    if (pos < 0 || static_cast<uint64_t>(pos) > b.size() || b.size() - static_cast<uint64_t>(pos) < static_cast<uint64_t>(n))
        return 0;
    uint64_t v = ReadLeN(b, pos, n);
    if (n < 8 && (v & (uint64_t{1} << (8 * n - 1)))) v |= ~uint64_t{0} << (8 * n);
    return static_cast<int64_t>(v);
}

} // namespace brivo
