#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace brivo {

// SHA-256 over bytes fed in any number of pieces. A recovered file's hash is taken from
// the bytes as they are written, so the report can be checked against the output
// without reading it back.
class TSha256 {
public:
    TSha256() { Reset(); }
    void Reset();
    void Update(std::span<const uint8_t> bytes);
    // The digest of everything fed since the last Reset; the object is reset after.
    std::array<uint8_t, 32> Final();
    // Final() as 64 lower-case hex digits.
    std::string FinalHex();

private:
    void Block(const uint8_t* p);
    std::array<uint32_t, 8> h_{};
    std::array<uint8_t, 64> buf_{};
    size_t used_ = 0;
    uint64_t total_ = 0;
};

// Lower-case hex digest of one byte string.
std::string Sha256Hex(std::span<const uint8_t> bytes);

} // namespace brivo
