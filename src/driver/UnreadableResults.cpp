#include "driver/UnreadableResults.h"

#include "core/TextFormat.h"

namespace brivo {

namespace {
std::string Tr(const std::function<std::string(const std::string&)>& translate, const std::string& s) {
    return translate ? translate(s) : s;
}
} // namespace

std::string UnreadableWarningText(const TUnreadableMap& map, const std::function<std::string(const std::string&)>& translate) {
    const std::vector<TByteRange> areas = map.Areas();
    if (areas.empty()) return {};
    uint64_t bytes = 0;
    for (const TByteRange& a : areas) bytes += a.Length;
    // Rounded up: a single bad sector must not read as "0 KiB".
    const uint64_t kib = bytes / 1024 + (bytes % 1024 != 0);
    const std::string text =
        areas.size() == 1 ? "%d area (%d KiB) could not be read (bad sectors?); results that depend on it may be missing "
                            "or incomplete."
                          : "%d areas (%d KiB) could not be read (bad sectors?); results that depend on them may be "
                            "missing or incomplete.";
    return Format(Tr(translate, text), {areas.size(), kib});
}

uint64_t MarkUnreadableResults(TFoundFiles& found, const TUnreadableMap& map, const TResultSpans& spansOf,
                               const std::function<std::string(const std::string&)>& translate) {
    if (map.Empty()) return 0;
    const std::string mark = Tr(translate, "Unreadable parts");
    uint64_t marked = 0;
    for (TFoundFile& f : found) {
        bool touches = false;
        for (const TByteExtent& e : f.Extents) touches = touches || map.Touches(e.Offset, e.Length);
        if (!touches && spansOf && f.Extents.empty())
            for (const TByteExtent& e : spansOf(f)) touches = touches || map.Touches(e.Offset, e.Length);
        if (!touches) continue;
        f.DamageText = f.DamageText.empty() ? mark : mark + "; " + f.DamageText;
        ++marked;
    }
    return marked;
}

} // namespace brivo
