#include <gtest/gtest.h>

#include <string>

#include "core/Sha256.h"

namespace brivo {
namespace {

std::span<const uint8_t> Bytes(const std::string& s) {
    return {reinterpret_cast<const uint8_t*>(s.data()), s.size()};
}

TEST(Sha256, KnownVectors) {
    struct Case { std::string text; const char* hex; };
    const Case cases[] = {
        {"", "e3b0c44298fc1c149afbf4c8996fb92427ae41e4649b934ca495991b7852b855"},
        {"abc", "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad"},
        {"abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "248d6a61d20638b8e5c026930c3e6039a33ce45964ff2167f6ecedd419db06c1"},
        // 55, 56 and 64 bytes: the lengths where the padding spills into a second block.
        {std::string(55, 'a'), "9f4390f8d30c2dd92ec9f095b65e2b9ae9b0a925a5258e241c9f1e910f734318"},
        {std::string(56, 'a'), "b35439a4ac6f0948b6d6f9e3c6af0f5f590ce20f1bde7090ef7970686ec6738a"},
        {std::string(64, 'a'), "ffe054fe7ae0cb6dc65c3af9b61d5209f439851db43d0ba5997337df154668eb"},
        {std::string(1000000, 'a'), "cdc76e5c9914fb9281a1c7e284d73e67f1809a48a497200e046d39ccc7112cd0"},
    };
    for (const auto& c : cases) EXPECT_EQ(Sha256Hex(Bytes(c.text)), c.hex) << c.text.size();
}

TEST(Sha256, PiecesGiveTheSameDigestAsTheWhole) {
    std::string data;
    for (int i = 0; i < 5000; ++i) data += static_cast<char>(i * 7 + 3);
    const std::string whole = Sha256Hex(Bytes(data));
    for (size_t piece : {1u, 3u, 63u, 64u, 65u, 1000u}) {
        TSha256 h;
        for (size_t at = 0; at < data.size(); at += piece)
            h.Update(Bytes(data.substr(at, piece)));
        EXPECT_EQ(h.FinalHex(), whole) << piece;
        // Final leaves the object ready for the next file.
        h.Update(Bytes("abc"));
        EXPECT_EQ(h.FinalHex(), "ba7816bf8f01cfea414140de5dae2223b00361a396177a9cb410ff61f20015ad");
    }
}

} // namespace
} // namespace brivo
