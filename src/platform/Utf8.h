#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace brivo {

inline constexpr char32_t kUtf8Replacement = 0xFFFD;

// The well-formed UTF-8 sequence at s[i]: its length (1..4) and code point, or 0 when
// the bytes there are not one (overlong forms, surrogates, values above U+10FFFF, a
// truncated sequence). Names on disk are not validated by anyone, so every caller
// decides for itself what an invalid byte stands for.
inline size_t DecodeUtf8At(std::string_view s, size_t i, char32_t& cp) {
    if (i >= s.size()) return 0;
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
        cp = b;
        return 1;
    }
    size_t len;
    char32_t v, min;
    if (b >= 0xC2 && b <= 0xDF) {
        len = 2; v = b & 0x1F; min = 0x80;
    } else if (b >= 0xE0 && b <= 0xEF) {
        len = 3; v = b & 0x0F; min = 0x800;
    } else if (b >= 0xF0 && b <= 0xF4) {
        len = 4; v = b & 0x07; min = 0x10000;
    } else {
        return 0;
    }
    if (s.size() - i < len) return 0;
    for (size_t k = 1; k < len; ++k) {
        const auto c = static_cast<unsigned char>(s[i + k]);
        if ((c & 0xC0) != 0x80) return 0;
        v = (v << 6) | (c & 0x3F);
    }
    if (v < min || v > 0x10FFFF || (v >= 0xD800 && v <= 0xDFFF)) return 0;
    cp = v;
    return len;
}

// Appends the UTF-8 form of a code point; surrogates and values above U+10FFFF become
// U+FFFD, so the output is always valid UTF-8.
inline void AppendUtf8(std::string& out, char32_t cp) {
    if (cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) cp = kUtf8Replacement;
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

inline std::string EncodeUtf8(char32_t cp) {
    std::string s;
    AppendUtf8(s, cp);
    return s;
}

} // namespace brivo
