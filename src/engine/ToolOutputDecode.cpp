#include "engine/ToolOutputDecode.h"

#include <algorithm>
#include <array>

#include "core/Text.h"
#include "platform/CodePages.h"

namespace brivo {

namespace {

constexpr char32_t kReplacement = kUtf8Replacement;

// The sequence at bytes[i], or U+FFFD for the maximal ill-formed subpart there.
size_t NextCodePoint(std::string_view bytes, size_t i, char32_t& cp) {
    return DecodeUtf8At(bytes, i, cp, TBadUtf8::Replace);
}

// Every UTF-16 code unit of a code point; a supplementary character is two surrogate
// units, each scoring 0.
int ScoreCodePoint(char32_t cp) { return cp > 0xFFFF ? 0 : ScoreCodeUnit(cp); }

int64_t ScoreCodePage(std::string_view bytes, int codePage) {
    const auto& table = CodePageTable(codePage);
    std::array<int, 256> byteScore{};
    for (size_t i = 0; i < 256; ++i) byteScore[i] = ScoreCodePoint(table[i]);
    int64_t score = 0;
    for (unsigned char c : bytes) score += byteScore[c];
    return score;
}

// Strictly well-formed: no overlong forms, surrogates or values above U+10FFFF.
bool IsWellFormedUtf8(std::string_view bytes) {
    for (size_t i = 0; i < bytes.size();) {
        char32_t cp;
        const size_t len = NextCodePoint(bytes, i, cp);
        if (cp == kReplacement && !(len == 3 && bytes.substr(i, 3) == "\xEF\xBF\xBD")) return false;
        i += len;
    }
    return true;
}

bool IsAscii(std::string_view bytes) {
    return std::all_of(bytes.begin(), bytes.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
}

} // namespace

int ScoreCodeUnit(char32_t c) {
    if (c >= 0x0400 && c <= 0x052F) return 6;
    if ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9')) return 1;
    switch (c) {
        case ' ': case '"': case '@': case '!': case '#': case '$': case '%': case '&': case '\'':
        case '(': case ')': case '+': case ',': case '-': case '.': case ';': case '=': case '[':
        case ']': case '^': case '_': case '{': case '}': case '~':
        case '/': case ':': case '\\':
            return 1;
        default: break;
    }
    if (c == kReplacement) return -20;
    if (c < 0x20) return -10;
    if (c >= 0x2500 && c <= 0x257F) return -6;
    return 0;
}

bool IsValidUtf8(std::string_view bytes) {
    const size_t n = bytes.size();
    for (size_t i = 0; i < n;) {
        const auto c = static_cast<unsigned char>(bytes[i]);
        size_t follow;
        if (c < 0x80) follow = 0;
        else if (c >= 0xC2 && c <= 0xDF) follow = 1;
        else if (c >= 0xE0 && c <= 0xEF) follow = 2;
        else if (c >= 0xF0 && c <= 0xF4) follow = 3;
        else return false;
        if (i + follow >= n && follow > 0) return false;
        for (size_t k = 1; k <= follow; ++k) {
            const auto t = static_cast<unsigned char>(bytes[i + k]);
            if (t < 0x80 || t > 0xBF) return false;
        }
        i += follow + 1;
    }
    return true;
}

int64_t ScoreDecodedText(std::string_view text) {
    int64_t score = 0;
    for (size_t i = 0; i < text.size();) {
        char32_t cp;
        i += NextCodePoint(text, i, cp);
        score += ScoreCodePoint(cp);
    }
    return score;
}

std::string DecodeToolOutput(std::string_view bytes) {
    if (bytes.empty()) return {};
    // Every candidate decodes ASCII to itself, so they all tie and UTF-8 (the first)
    // wins; skipping the scoring keeps big listings cheap.
    if (IsAscii(bytes)) return std::string(bytes);

    // Candidate 0 is UTF-8, the others single-byte code pages, in the order that
    // decides ties. Code-page candidates are scored straight from the byte table and
    // only the winner is decoded, so a listing of tens of megabytes is not copied five
    // times.
    // Well-formed UTF-8 is taken as it is. The engine prints every name in UTF-8 here,
    // and the scores alone would not keep it: read in code page 1251 the lead bytes
    // 0xC3/0xD0/0xD1 and most continuation bytes are Cyrillic letters (+6 each), so
    // "Ünïcödé" or "файл" would come out as "Г њnГЇcГ¶dГ©" or "С„Р°Р№Р»". Text in a
    // single-byte code page is almost never well-formed UTF-8 by chance.
    if (IsWellFormedUtf8(bytes)) return std::string(bytes);

    const int codePages[] = {OemCodePage(), AnsiCodePage(), 1251, 866};
    bool haveBest = false;
    int best = -1;  // -1: UTF-8, else index into codePages
    int64_t bestScore = 0;
    if (IsValidUtf8(bytes)) {
        bestScore = ScoreDecodedText(bytes);
        haveBest = true;
    }
    for (int k = 0; k < 4; ++k) {
        const int64_t s = ScoreCodePage(bytes, codePages[k]);
        if (!haveBest || s > bestScore) {
            bestScore = s;
            best = k;
            haveBest = true;
        }
    }
    std::string text = best < 0 ? DecodeUtf8Lenient(bytes) : DecodeCodePage(bytes, codePages[best]);
    if (text.empty()) text = DecodeCodePage(bytes, AnsiCodePage());
    return text;
}

} // namespace brivo
