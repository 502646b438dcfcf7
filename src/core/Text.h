#pragma once
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <string_view>

// The UTF-8 encoder lives with the code-page tables below the core, which need it too.
#include "platform/Utf8.h"

namespace brivo {

// The one text module: ASCII case and blanks, UTF-8 decoding with a chosen policy for
// invalid bytes, and UTF-16 to UTF-8. Names on disk and tool output are validated by
// no one, so every decoder here takes any byte sequence and never fails or loops.

// --- ASCII ---------------------------------------------------------------------------
// Blanks are every byte up to 0x20, and case folding touches the ASCII letters only, so
// UTF-8 names pass through unchanged.

inline bool IsBlankByte(char c) { return static_cast<unsigned char>(c) <= 0x20; }

inline std::string_view TrimView(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlankByte(s[b])) ++b;
    while (e > b && IsBlankByte(s[e - 1])) --e;
    return s.substr(b, e - b);
}

constexpr char AsciiLower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }
constexpr char32_t AsciiLower(char32_t c) { return (c >= U'A' && c <= U'Z') ? c + 32 : c; }

// Reads the decimal digits at s[pos...] into out and moves pos past them. False when there
// are none or the number would exceed max.
inline bool ReadDecimalAt(std::string_view s, size_t& pos, uint64_t max, uint64_t& out) {
    const size_t start = pos;
    out = 0;
    while (pos < s.size() && s[pos] >= '0' && s[pos] <= '9') {
        const uint64_t d = static_cast<uint64_t>(s[pos] - '0');
        if (out > (max - d) / 10) return false;
        out = out * 10 + d;
        ++pos;
    }
    return pos > start;
}

inline std::string LowerAscii(std::string s) {
    for (char& c : s) c = AsciiLower(c);
    return s;
}

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

// --- UTF-8 ---------------------------------------------------------------------------

// What a byte that does not start a well-formed sequence (overlong forms, surrogates,
// values above U+10FFFF, stray or missing continuation bytes) stands for.
enum class TBadUtf8 {
    Stop,     // nothing: DecodeUtf8At returns 0 and the caller decides
    Replace,  // U+FFFD for the maximal ill-formed subpart (Unicode's definition), so a
              // truncated sequence costs one replacement, not one per byte
    RawByte,  // the lone low surrogate 0xDC00 + byte, one per byte: distinct from every
              // valid text, so invalid names still compare and sort consistently
};

// Decodes the sequence at s[i] into cp and returns the bytes it takes (1..4). With Stop
// an invalid sequence gives 0; the other policies always take at least one byte. i at
// or past the end gives 0.
inline size_t DecodeUtf8At(std::string_view s, size_t i, char32_t& cp, TBadUtf8 bad = TBadUtf8::Stop) {
    if (i >= s.size()) return 0;
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
        cp = c;
        return 1;
    }
    size_t need;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
    char32_t value;
    if (c >= 0xC2 && c <= 0xDF) {
        need = 1;
        value = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
        need = 2;
        value = c & 0x0F;
        if (c == 0xE0) lo = 0xA0;       // overlong
        else if (c == 0xED) hi = 0x9F;  // surrogates
    } else if (c >= 0xF0 && c <= 0xF4) {
        need = 3;
        value = c & 0x07;
        if (c == 0xF0) lo = 0x90;       // overlong
        else if (c == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
        need = 0;
        value = 0;
    }
    size_t k = 1;
    if (need != 0) {
        for (; k <= need; ++k) {
            if (i + k >= s.size()) break;
            const auto t = static_cast<unsigned char>(s[i + k]);
            if (t < (k == 1 ? lo : 0x80) || t > (k == 1 ? hi : 0xBF)) break;
            value = (value << 6) | (t & 0x3F);
        }
        if (k > need) {
            cp = value;
            return need + 1;
        }
    }
    switch (bad) {
        case TBadUtf8::Stop: return 0;
        case TBadUtf8::Replace: cp = kUtf8Replacement; return k;  // the lead byte and the valid continuations
        case TBadUtf8::RawByte: cp = 0xDC00 + c; return 1;
    }
    return 0;
}

// The text with every ill-formed part replaced by U+FFFD (TBadUtf8::Replace): always
// valid UTF-8; valid input comes back unchanged.
std::string DecodeUtf8Lenient(std::string_view bytes);

// Yields the UTF-16 code units of a UTF-8 text one at a time (supplementary characters
// as two surrogates); invalid bytes follow TBadUtf8::RawByte.
class TUtf16Units {
public:
    explicit TUtf16Units(std::string_view s) : s_(s) {}
    bool Next(uint32_t& unit) {
        if (pendingLow_) {
            unit = pendingLow_;
            pendingLow_ = 0;
            return true;
        }
        char32_t cp = 0;
        const size_t len = DecodeUtf8At(s_, i_, cp, TBadUtf8::RawByte);
        if (len == 0) return false;
        i_ += len;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            unit = 0xD800 + (cp >> 10);
            pendingLow_ = 0xDC00 + (cp & 0x3FF);
        } else {
            unit = cp;
        }
        return true;
    }

private:
    std::string_view s_;
    size_t i_ = 0;
    uint32_t pendingLow_ = 0;
};

// --- UTF-16 to UTF-8 -----------------------------------------------------------------
// A surrogate pair becomes its character; a lone surrogate becomes U+FFFD, so the output
// is always valid UTF-8.

void AppendUtf16AsUtf8(std::string& out, std::u16string_view text);
std::string Utf16ToUtf8(std::u16string_view text);

// The same for `units` UTF-16LE code units starting at byte `pos` of `b`, clipped to the
// bytes that exist.
void AppendUtf16Le(std::string& out, std::span<const uint8_t> b, size_t pos, size_t units);
std::string Utf16LeToUtf8(std::span<const uint8_t> b, size_t pos, size_t units);

} // namespace brivo
