#include "filters/Wildcard.h"

#include <algorithm>

#include "core/Text.h"

namespace brivo {

namespace {

constexpr int kMaxStarGroups = 30;

// Bytes that do not form valid UTF-8 become lone low surrogates (TBadUtf8::RawByte): each
// such byte is one character, compares equal only to the same byte, and lies above 255 so
// it is never in a set.
void DecodeUtf8(std::string_view s, std::u32string& out) {
    out.clear();
    char32_t cp = 0;
    for (size_t i = 0, len; (len = DecodeUtf8At(s, i, cp, TBadUtf8::RawByte)) != 0; i += len) out.push_back(cp);
}

void AddSetMember(std::bitset<256>& bits, char32_t c) {
    if (c > 255)
        return;  // sets hold characters up to code 255 only
    bits.set(c);
    if (c >= U'A' && c <= U'Z')
        bits.set(c + 32);
    else if (c >= U'a' && c <= U'z')
        bits.set(c - 32);
}

} // namespace

TMaskError::TMaskError(std::string mask, int position, const std::string& reason)
    : std::runtime_error("Invalid file mask \"" + mask + "\" at position " +
                         std::to_string(position) + ": " + reason + "."),
      FMask(std::move(mask)),
      FPosition(position) {}

TFileMask::TFileMask(std::string_view mask) : FText(mask) {
    std::u32string chars;
    DecodeUtf8(mask, chars);
    const size_t n = chars.size();
    auto fail = [&](size_t index, const char* reason) {
        throw TMaskError(FText, static_cast<int>(std::min<size_t>(index + 1, 0x7FFFFFFF)), reason);
    };

    int groups = 0;
    size_t i = 0;
    while (i < n) {
        const char32_t c = chars[i];
        if (c == U'*' || c == U'?') {
            // A run of "*" and "?": each "?" before the run's first "*" takes one character,
            // every later "?" adds nothing, and the whole run is one "*" group.
            bool star = false;
            size_t firstStar = i;
            for (; i < n && (chars[i] == U'*' || chars[i] == U'?'); ++i) {
                if (chars[i] == U'*') {
                    if (!star) {
                        star = true;
                        firstStar = i;
                    }
                } else if (!star) {
                    FTokens.push_back({TKind::AnyOne, false, 0, 0});
                }
            }
            if (star) {
                if (++groups > kMaxStarGroups)
                    fail(firstStar, "more than 30 \"*\" groups");
                FTokens.push_back({TKind::Star, false, 0, 0});
            }
            continue;
        }
        if (c != U'[') {
            FTokens.push_back({TKind::Literal, false, AsciiLower(c), 0});
            ++i;
            continue;
        }

        const size_t open = i;
        size_t k = i + 1;
        TToken token{TKind::Set, false, 0, static_cast<unsigned>(FSets.size())};
        std::bitset<256> bits;
        bool anyMember = false;
        if (k < n && chars[k] == U'!') {
            token.Negate = true;
            ++k;
        }
        for (;;) {
            if (k >= n)
                fail(open, "the set has no closing \"]\"");
            const char32_t m = chars[k];
            if (m == U']') {
                if (!anyMember)
                    fail(open, "empty set");
                ++k;
                break;
            }
            if (m == U'-')
                fail(k, "\"-\" has nothing before it in the set");
            anyMember = true;
            if (k + 1 < n && chars[k + 1] == U'-') {
                if (k + 2 >= n)
                    fail(open, "the set has no closing \"]\"");
                if (chars[k + 2] == U']') {
                    // A "-" right before "]" has no end, so it stands for itself.
                    AddSetMember(bits, m);
                    AddSetMember(bits, U'-');
                    k += 2;
                    continue;
                }
                // A range whose end comes before its start holds nothing.
                const char32_t hi = std::min<char32_t>(chars[k + 2], 255);
                for (char32_t v = m; v <= hi; ++v)
                    AddSetMember(bits, v);
                k += 3;
                continue;
            }
            AddSetMember(bits, m);
            ++k;
        }
        FSets.push_back(bits);
        FTokens.push_back(token);
        i = k;
    }
}

bool TFileMask::Matches(std::string_view name) const {
    thread_local std::u32string chars;
    DecodeUtf8(name, chars);
    return MatchesChars(chars);
}

bool TFileMask::MatchesChars(std::u32string_view chars) const {
    auto one = [this](const TToken& t, char32_t c) {
        switch (t.Kind) {
        case TKind::Literal:
            return t.Ch == AsciiLower(c);
        case TKind::AnyOne:
            return true;
        case TKind::Set: {
            const bool member = c <= 255 && FSets[t.SetIndex].test(c);
            return member != t.Negate;
        }
        case TKind::Star:
            break;
        }
        return false;
    };

    // Every token but "*" takes exactly one character, so returning to the latest "*" and
    // letting it take one more character is enough: O(name x mask), never exponential.
    const size_t nt = FTokens.size();
    const size_t nc = chars.size();
    size_t t = 0;
    size_t c = 0;
    size_t starToken = nt;  // none yet
    size_t starChar = 0;
    while (c < nc) {
        if (t < nt && FTokens[t].Kind == TKind::Star) {
            starToken = t++;
            starChar = c;
            continue;
        }
        if (t < nt && one(FTokens[t], chars[c])) {
            ++t;
            ++c;
            continue;
        }
        if (starToken == nt)
            return false;
        t = starToken + 1;
        c = ++starChar;
    }
    while (t < nt && FTokens[t].Kind == TKind::Star)
        ++t;
    return t == nt;
}

void ValidateMasks(const TMaskList& masks) {
    for (const auto& m : masks)
        static_cast<void>(TFileMask{m});
}

bool MatchesAnyMask(std::string_view nameOrPath, const TMaskList& masks) {
    if (masks.empty())
        return false;

    struct TCache {
        TMaskList Source;
        std::vector<TFileMask> Compiled;
        bool Valid = false;
    };
    thread_local TCache cache;
    if (!cache.Valid || cache.Source != masks) {
        cache.Valid = false;
        std::vector<TFileMask> compiled;
        compiled.reserve(masks.size());
        for (const auto& m : masks)
            compiled.emplace_back(m);
        cache.Compiled = std::move(compiled);
        cache.Source = masks;
        cache.Valid = true;
    }

    std::string_view part = nameOrPath;
    const size_t cut = nameOrPath.find_last_of("/\\:");
    if (cut != std::string_view::npos)
        part = nameOrPath.substr(cut + 1);
    if (part.empty())
        part = nameOrPath;

    thread_local std::u32string chars;
    DecodeUtf8(part, chars);
    return std::any_of(cache.Compiled.begin(), cache.Compiled.end(),
                       [](const TFileMask& m) { return m.MatchesChars(chars); });
}

} // namespace brivo
