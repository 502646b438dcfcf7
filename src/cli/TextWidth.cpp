#include "cli/TextWidth.h"

#include "core/Text.h"

namespace brivo::cli {

namespace {

struct TRange {
    char32_t First, Last;
};

constexpr TRange kZeroWidth[] = {
    {0x0300, 0x036F}, {0x0483, 0x0489}, {0x0591, 0x05BD}, {0x0610, 0x061A}, {0x064B, 0x065F},
    {0x200B, 0x200F}, {0x20D0, 0x20FF}, {0xFE00, 0xFE0F}, {0xFE20, 0xFE2F},
};

constexpr TRange kWide[] = {
    {0x1100, 0x115F},   {0x2E80, 0x303E},   {0x3041, 0x33FF},   {0x3400, 0x4DBF}, {0x4E00, 0x9FFF},
    {0xA000, 0xA4CF},   {0xAC00, 0xD7A3},   {0xF900, 0xFAFF},   {0xFE30, 0xFE4F}, {0xFF00, 0xFF60},
    {0xFFE0, 0xFFE6},   {0x1F300, 0x1F64F}, {0x1F900, 0x1F9FF}, {0x20000, 0x3FFFD},
};

template <size_t N>
bool In(const TRange (&ranges)[N], char32_t c) {
    for (const auto& r : ranges)
        if (c >= r.First && c <= r.Last) return true;
    return false;
}

// The bytes and columns of the character at i.
struct TCharAt {
    size_t Bytes;
    size_t Columns;
};

TCharAt CharAt(std::string_view text, size_t i) {
    char32_t c = 0;
    const size_t len = DecodeUtf8At(text, i, c);
    // Not UTF-8: one byte, one column, as a replacement character shows.
    if (len == 0) return {1, 1};
    return {len, In(kZeroWidth, c) ? 0u : In(kWide, c) ? 2u : 1u};
}

} // namespace

size_t DisplayColumns(std::string_view text) {
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        const TCharAt ch = CharAt(text, i);
        i += ch.Bytes;
        n += ch.Columns;
    }
    return n;
}

std::string FitColumns(std::string_view text, size_t columns) {
    if (DisplayColumns(text) <= columns) return std::string(text);
    if (columns == 0) return {};
    // Room for the characters before the "…", which takes one column.
    const size_t room = columns - 1;
    size_t used = 0, end = 0;
    while (end < text.size()) {
        const TCharAt ch = CharAt(text, end);
        if (used + ch.Columns > room) break;
        used += ch.Columns;
        end += ch.Bytes;
    }
    return std::string(text.substr(0, end)) + "\xE2\x80\xA6";
}

} // namespace brivo::cli
