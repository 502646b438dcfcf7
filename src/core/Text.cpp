#include "core/Text.h"

namespace brivo {

namespace {

// The one UTF-16 to UTF-8 loop; unit(i) gives code unit i of n. Converted through a
// small buffer and appended in one go: most texts are short names, nearly all ASCII.
template <typename UnitAt>
void AppendUtf16Units(std::string& out, size_t n, UnitAt unit) {
    char buf[256];
    size_t used = 0;
    for (size_t i = 0; i < n; ++i) {
        if (used > sizeof buf - 4) {
            out.append(buf, used);
            used = 0;
        }
        char32_t u = unit(i);
        if (u < 0x80) {
            buf[used++] = static_cast<char>(u);
            continue;
        }
        if (u >= 0xD800 && u <= 0xDBFF && i + 1 < n) {
            const char32_t low = unit(i + 1);
            if (low >= 0xDC00 && low <= 0xDFFF) {
                u = 0x10000 + ((u - 0xD800) << 10) + (low - 0xDC00);
                ++i;
            }
        }
        // AppendUtf8 turns a lone surrogate into U+FFFD.
        std::string wide;
        AppendUtf8(wide, u);
        for (char c : wide) buf[used++] = c;
    }
    out.append(buf, used);
}

} // namespace

std::string DecodeUtf8Lenient(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (size_t i = 0; i < bytes.size();) {
        char32_t cp = 0;
        const size_t len = DecodeUtf8At(bytes, i, cp, TBadUtf8::Replace);
        if (cp == kUtf8Replacement)
            AppendUtf8(out, kUtf8Replacement);
        else
            out.append(bytes.substr(i, len));
        i += len;
    }
    return out;
}

void AppendUtf16AsUtf8(std::string& out, std::u16string_view text) {
    AppendUtf16Units(out, text.size(), [&](size_t i) { return static_cast<char32_t>(text[i]); });
}

std::string Utf16ToUtf8(std::u16string_view text) {
    std::string out;
    out.reserve(text.size());
    AppendUtf16AsUtf8(out, text);
    return out;
}

void AppendUtf16Le(std::string& out, std::span<const uint8_t> b, size_t pos, size_t units) {
    if (pos >= b.size()) return;
    const size_t avail = (b.size() - pos) / 2;
    if (units > avail) units = avail;
    const uint8_t* p = b.data() + pos;
    AppendUtf16Units(out, units, [p](size_t i) { return static_cast<char32_t>(p[2 * i] | (p[2 * i + 1] << 8)); });
}

std::string Utf16LeToUtf8(std::span<const uint8_t> b, size_t pos, size_t units) {
    std::string out;
    out.reserve(units);
    AppendUtf16Le(out, b, pos, units);
    return out;
}

} // namespace brivo
