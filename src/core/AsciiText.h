#pragma once
#include <cstring>
#include <string>
#include <string_view>

namespace brivo {

// Text helpers for names and tool output: blanks are every byte up to 0x20, and case folding
// touches the ASCII letters only, so UTF-8 names pass through unchanged.

inline bool IsBlankByte(char c) { return static_cast<unsigned char>(c) <= 0x20; }

inline std::string_view TrimView(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlankByte(s[b])) ++b;
    while (e > b && IsBlankByte(s[e - 1])) --e;
    return s.substr(b, e - b);
}

inline char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

inline bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (AsciiLower(a[i]) != AsciiLower(b[i])) return false;
    return true;
}

// Position of the first occurrence of needle (lower-case ASCII) in s, ignoring case.
// The markers looked for all hold a character without case ("(", " "): memchr finds
// that anchor and only those places are compared, which keeps long listings cheap.
inline size_t FindNoCase(std::string_view s, std::string_view needle) {
    if (needle.empty()) return 0;
    if (s.size() < needle.size()) return std::string_view::npos;
    const auto isLetter = [](char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); };
    size_t k = 0;
    while (k < needle.size() && isLetter(needle[k])) ++k;  // first character without case
    if (k == needle.size()) {
        for (size_t i = 0; i + needle.size() <= s.size(); ++i)
            if (EqualsNoCase(s.substr(i, needle.size()), needle)) return i;
        return std::string_view::npos;
    }
    const char anchor = needle[k];
    const size_t last = s.size() - needle.size();  // last possible start
    size_t from = k;
    while (from < s.size()) {
        const void* hit = std::memchr(s.data() + from, anchor, s.size() - from);
        if (!hit) break;
        const size_t at = static_cast<size_t>(static_cast<const char*>(hit) - s.data());
        const size_t start = at - k;
        if (start > last) break;
        if (EqualsNoCase(s.substr(start, needle.size()), needle)) return start;
        from = at + 1;
    }
    return std::string_view::npos;
}

inline bool ContainsNoCase(std::string_view s, std::string_view needle) {
    return FindNoCase(s, needle) != std::string_view::npos;
}

} // namespace brivo
