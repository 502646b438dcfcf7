#include "core/Sha256.h"

#include <openssl/evp.h>

#include <new>
#include <stdexcept>

namespace brivo {

void TSha256::TFreeContext::operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }

TSha256::TSha256() : ctx_(EVP_MD_CTX_new()) {
    if (!ctx_) throw std::bad_alloc();
    Reset();
}

void TSha256::Reset() {
    if (EVP_DigestInit_ex(ctx_.get(), EVP_sha256(), nullptr) != 1)
        throw std::runtime_error("SHA-256 is not available from the system's crypto library.");
}

void TSha256::Update(std::span<const uint8_t> bytes) {
    if (!bytes.empty()) EVP_DigestUpdate(ctx_.get(), bytes.data(), bytes.size());
}

std::array<uint8_t, 32> TSha256::Final() {
    std::array<uint8_t, 32> out{};
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx_.get(), out.data(), &len);
    Reset();
    return out;
}

std::string TSha256::FinalHex() {
    static const char kHex[] = "0123456789abcdef";
    std::string s;
    for (uint8_t b : Final()) {
        s.push_back(kHex[b >> 4]);
        s.push_back(kHex[b & 0xF]);
    }
    return s;
}

std::string Sha256Hex(std::span<const uint8_t> bytes) {
    TSha256 h;
    h.Update(bytes);
    return h.FinalHex();
}

} // namespace brivo
