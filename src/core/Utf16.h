#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "platform/Utf8.h"

namespace brivo {

// Decodes `units` UTF-16LE code units starting at byte `pos` of `b` (clipped to the
// bytes that exist) and appends them as UTF-8. On-disk names are not validated by the
// file system, so a lone surrogate becomes U+FFFD instead of invalid UTF-8.
inline void AppendUtf16Le(std::string& out, std::span<const uint8_t> b, size_t pos, size_t units) {
    if (pos >= b.size()) return;
    const size_t avail = (b.size() - pos) / 2;
    if (units > avail) units = avail;
    const uint8_t* p = b.data() + pos;
    // Most names are ASCII: copy those units straight, then go on unit by unit.
    const size_t base = out.size();
    out.resize(base + units);
    size_t i = 0;
    for (; i < units; ++i) {
        if (p[2 * i + 1] != 0 || p[2 * i] >= 0x80) break;
        out[base + i] = static_cast<char>(p[2 * i]);
    }
    out.resize(base + i);
    for (; i < units; ++i) {
        char32_t u = static_cast<char32_t>(p[2 * i] | (p[2 * i + 1] << 8));
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < units) {
            char32_t lo = static_cast<char32_t>(p[2 * i + 2] | (p[2 * i + 3] << 8));
            if (lo >= 0xDC00 && lo <= 0xDFFF) {
                AppendUtf8(out, 0x10000 + ((u - 0xD800) << 10) + (lo - 0xDC00));
                ++i;
                continue;
            }
        }
        if (u >= 0xD800 && u <= 0xDFFF) u = 0xFFFD;
        AppendUtf8(out, u);
    }
}

inline std::string Utf16LeToUtf8(std::span<const uint8_t> b, size_t pos, size_t units) {
    std::string out;
    out.reserve(units);
    AppendUtf16Le(out, b, pos, units);
    return out;
}

} // namespace brivo
