#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>

typedef struct evp_md_ctx_st EVP_MD_CTX;

namespace brivo {

// SHA-256 over bytes fed in any number of pieces. A recovered file's hash is taken from
// the bytes as they are written, so the report can be checked against the output
// without reading it back. libcrypto does the work (with the CPU's SHA instructions
// where there are some).
class TSha256 {
public:
    TSha256();
    void Reset();
    void Update(std::span<const uint8_t> bytes);
    // The digest of everything fed since the last Reset; the object is reset after.
    std::array<uint8_t, 32> Final();
    // Final() as 64 lower-case hex digits.
    std::string FinalHex();

private:
    struct TFreeContext {
        void operator()(EVP_MD_CTX* c) const;
    };
    std::unique_ptr<EVP_MD_CTX, TFreeContext> ctx_;
};

// Lower-case hex digest of one byte string.
std::string Sha256Hex(std::span<const uint8_t> bytes);

} // namespace brivo
