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

} // namespace

size_t DisplayColumns(std::string_view text) {
    size_t n = 0;
    for (size_t i = 0; i < text.size();) {
        char32_t c = 0;
        const size_t len = DecodeUtf8At(text, i, c);
        if (len == 0) {  // not UTF-8: one column, as a replacement character shows
            ++n;
            ++i;
            continue;
        }
        i += len;
        n += In(kZeroWidth, c) ? 0 : In(kWide, c) ? 2 : 1;
    }
    return n;
}

} // namespace brivo::cli
