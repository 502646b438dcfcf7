#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace brivo {

// The UTF-8 encoder, which the code-page tables need; decoding lives in core/Text.h.

inline constexpr char32_t kUtf8Replacement = 0xFFFD;

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
