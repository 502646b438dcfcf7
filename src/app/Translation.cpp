#include "app/Translation.h"

#include "core/Text.h"

#include <cstdlib>

namespace brivo {

namespace {

std::string Trim(const std::string& s) { return std::string(TrimView(s)); }

// A decimal integer with an optional sign and nothing else; false on overflow.
bool ParseInt(const std::string& text, long long& out) {
    const std::string t = Trim(text);
    size_t i = 0;
    bool neg = false;
    if (i < t.size() && (t[i] == '+' || t[i] == '-')) neg = t[i++] == '-';
    if (i >= t.size()) return false;
    long long v = 0;
    for (; i < t.size(); ++i) {
        if (t[i] < '0' || t[i] > '9') return false;
        if (v > (1LL << 40)) return false;
        v = v * 10 + (t[i] - '0');
    }
    out = neg ? -v : v;
    return true;
}

} // namespace

std::vector<std::string> SplitTextLines(const std::string& text) {
    std::vector<std::string> lines;
    size_t pos = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) pos = 3;
    std::string cur;
    bool open = false;  // a line has started and not been ended by a break
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (c == '\r' || c == '\n') {
            lines.push_back(cur);
            cur.clear();
            open = false;
            if (c == '\r' && pos + 1 < text.size() && text[pos + 1] == '\n') ++pos;
        } else {
            cur.push_back(c);
            open = true;
        }
    }
    if (open) lines.push_back(cur);
    return lines;
}

void TTranslation::Clear() {
    columns_.clear();
    firstRowOfKey_.clear();
    SetCurrentIndex(0);
}

namespace {

// Splits a format into its literal pieces around %d, %u and %s ("%%" is a literal "%").
std::vector<std::string> FormatPieces(const std::string& fmt) {
    std::vector<std::string> pieces(1);
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] == '%' && i + 1 < fmt.size()) {
            const char d = fmt[i + 1];
            if (d == 'd' || d == 'u' || d == 's') {
                pieces.emplace_back();
                ++i;
                continue;
            }
            if (d == '%') ++i;
        }
        pieces.back() += fmt[i];
    }
    return pieces;
}

// The values that fill fmt's holes to give text, or false when fmt cannot give it.
bool MatchFormat(const std::string& fmt, const std::string& text, std::vector<std::string>& values) {
    const std::vector<std::string> pieces = FormatPieces(fmt);
    if (pieces.size() < 2 || text.compare(0, pieces[0].size(), pieces[0]) != 0) return false;
    values.clear();
    size_t pos = pieces[0].size();
    for (size_t k = 1; k < pieces.size(); ++k) {
        const std::string& lit = pieces[k];
        size_t at;
        if (k + 1 == pieces.size()) {
            if (text.size() < pos + lit.size() || text.compare(text.size() - lit.size(), lit.size(), lit) != 0)
                return false;
            at = text.size() - lit.size();
        } else {
            at = lit.empty() ? pos : text.find(lit, pos);
            if (at == std::string::npos) return false;
        }
        values.push_back(text.substr(pos, at - pos));
        pos = at + lit.size();
    }
    return true;
}

std::string FillFormat(const std::string& fmt, const std::vector<std::string>& values) {
    std::string out;
    size_t next = 0;
    for (size_t i = 0; i < fmt.size(); ++i) {
        if (fmt[i] == '%' && i + 1 < fmt.size()) {
            const char d = fmt[i + 1];
            if ((d == 'd' || d == 'u' || d == 's') && next < values.size()) {
                out += values[next++];
                ++i;
                continue;
            }
            if (d == '%') ++i;
        }
        out += fmt[i];
    }
    return out;
}

} // namespace

std::string TTranslation::Retranslate(const std::string& text, int from, int to) const {
    const int n = ColumnCount();
    if (from == to || from < 0 || to < 0 || from >= n || to >= n || text.empty()) return text;
    const size_t rows = columns_[0].size();
    auto entry = [this](int c, size_t r) -> const std::string& {
        const std::string& e = columns_[c][r];
        return c == 0 || e.empty() ? columns_[0][r] : e;
    };
    for (size_t r = 2; r < rows; ++r)
        if (entry(from, r) == text) return entry(to, r);
    std::vector<std::string> values;
    for (size_t r = 2; r < rows; ++r)
        if (entry(from, r).find('%') != std::string::npos && MatchFormat(entry(from, r), text, values))
            return FillFormat(entry(to, r), values);
    return text;
}

bool TTranslation::LoadFromText(const std::string& text) {
    Clear();
    const std::vector<std::string> lines = SplitTextLines(text);
    if (lines.empty()) return false;
    long long n = 0;
    if (!ParseInt(lines[0], n) || n <= 0) return false;
    const size_t columns = static_cast<size_t>(n);
    // Whole rows only; a partial last row is ignored. Never more cells than lines.
    const size_t rows = (lines.size() - 1) / columns;
    if (rows < 2) return false;
    columns_.assign(columns, std::vector<std::string>(rows));
    for (size_t c = 0; c < columns; ++c)
        for (size_t r = 0; r < rows; ++r) columns_[c][r] = lines[1 + r * columns + c];
    for (size_t r = 0; r < rows; ++r) firstRowOfKey_.emplace(columns_[0][r], static_cast<int>(r));
    return true;
}

std::string TTranslation::Translate(const std::string& key) const {
    const int index = CurrentIndex();
    if (index <= 0 || index >= ColumnCount()) return key;
    const auto it = firstRowOfKey_.find(key);
    if (it == firstRowOfKey_.end()) {
        // A table line cannot hold a line break, so a key with breaks is translated
        // line by line, keeping the breaks as they are.
        if (key.find_first_of("\r\n") == std::string::npos) return key;
        std::string out, part;
        for (char c : key) {
            if (c == '\r' || c == '\n') {
                out += part.empty() ? part : Translate(part);
                out.push_back(c);
                part.clear();
            } else {
                part.push_back(c);
            }
        }
        return out + (part.empty() ? part : Translate(part));
    }
    const std::string& entry = columns_[index][it->second];
    return entry.empty() ? key : entry;
}

std::string TTranslation::LanguageName(int column) const {
    return column >= 0 && column < ColumnCount() ? columns_[column][0] : std::string();
}

std::string TTranslation::LanguageCode(int column) const {
    return column >= 0 && column < ColumnCount() ? columns_[column][1] : std::string();
}

int TTranslation::IndexOfCode(const std::string& code) const {
    const std::string want = LowerAscii(code);
    for (int c = 0; c < ColumnCount(); ++c)
        if (LowerAscii(columns_[c][1]) == want) return c;
    return -1;
}

TTranslation& Translation() {
    static TTranslation table;
    return table;
}

std::string Translate(const std::string& key) { return Translation().Translate(key); }

std::string LanguageCodeForLocale(const std::string& localeName) {
    // The language part: "de" of "de_AT.UTF-8@euro".
    std::string lang;
    for (char c : localeName) {
        if (c == '_' || c == '.' || c == '@' || c == '-') break;
        lang.push_back(c);
    }
    lang = LowerAscii(lang);
    static const struct { const char* lang; const char* code; } kMap[] = {
        {"ar", "ar"}, {"zh", "cn"}, {"cs", "cs"}, {"de", "de"}, {"el", "el"},
        {"es", "es"}, {"fr", "fr"}, {"hu", "hu"}, {"it", "it"}, {"ja", "jp"},
        {"ko", "kr"}, {"nl", "nl"}, {"pl", "pl"}, {"pt", "pt"}, {"tr", "tr"},
    };
    for (const auto& m : kMap)
        if (lang == m.lang) return m.code;
    return "en";
}

std::string SystemLanguageCode() {
    for (const char* var : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* v = std::getenv(var);
        if (v && *v) return LanguageCodeForLocale(v);
    }
    return "en";
}

} // namespace brivo
