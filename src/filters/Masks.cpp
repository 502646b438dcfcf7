#include "filters/Masks.h"

#include "core/Text.h"

#include <array>

namespace brivo {

namespace {

// Blanks and control characters, the way the window's text boxes are trimmed.
std::string_view TrimBlanks(std::string_view s) { return TrimView(s); }

} // namespace

std::string CurrentMaskText(const TScanChoice& choice) {
    if (choice.WhatIndex < 0 || choice.WhatIndex >= kWhatCount)
        return "*.*";
    const std::string_view text = TrimBlanks(choice.MaskTexts[static_cast<size_t>(choice.WhatIndex)]);
    return text.empty() ? std::string("*.*") : std::string(text);
}

TMaskList ParseMasks(std::string_view maskText) {
    TMaskList masks;
    size_t start = 0;
    while (start <= maskText.size()) {
        size_t end = maskText.find_first_of(",;", start);
        if (end == std::string_view::npos)
            end = maskText.size();
        const std::string_view piece = TrimBlanks(maskText.substr(start, end - start));
        if (!piece.empty())
            masks.emplace_back(piece);
        start = end + 1;
    }
    if (masks.empty())
        masks.emplace_back("*.*");
    return masks;
}

bool IsDefaultMaskList(const TMaskList& masks) {
    if (masks.empty())
        return true;
    for (const auto& m : masks) {
        const std::string_view t = TrimBlanks(m);
        if (t == "*" || t == "*.*")
            return true;
    }
    return false;
}

} // namespace brivo
