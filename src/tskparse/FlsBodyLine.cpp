#include "tskparse/FlsBodyLine.h"

#include <limits>

#include "core/Text.h"

namespace brivo {

namespace {

// The general integer syntax for modes: optional sign, then "$" or "0x" hexadecimal, or
// decimal digits.
bool TryParseInteger(std::string_view t, int64_t& value) {
    bool neg = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        neg = t[0] == '-';
        t.remove_prefix(1);
    }
    unsigned base = 10;
    if (!t.empty() && t[0] == '$') {
        base = 16;
        t.remove_prefix(1);
    } else if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t.remove_prefix(2);
    }
    if (t.empty()) return false;
    uint64_t v = 0;
    const uint64_t limit = neg ? uint64_t{1} << 63 : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    for (char c : t) {
        unsigned d;
        if (c >= '0' && c <= '9') d = static_cast<unsigned>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f') d = static_cast<unsigned>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F') d = static_cast<unsigned>(c - 'A' + 10);
        else return false;
        if (v > (limit - d) / base) return false;
        v = v * base + d;
    }
    value = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}

int64_t NumberOrMinusOne(std::string_view field) {
    int64_t v;
    return TryParseDecimal64(TrimView(field), v) ? v : -1;
}

} // namespace

bool TryParseDecimal64(std::string_view t, int64_t& value) {
    bool neg = false;
    if (!t.empty() && (t[0] == '+' || t[0] == '-')) {
        neg = t[0] == '-';
        t.remove_prefix(1);
    }
    if (t.empty()) return false;
    uint64_t v = 0;
    const uint64_t limit = neg ? uint64_t{1} << 63 : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    for (char c : t) {
        if (c < '0' || c > '9') return false;
        const unsigned d = static_cast<unsigned>(c - '0');
        if (v > (limit - d) / 10) return false;
        v = v * 10 + d;
    }
    value = neg ? static_cast<int64_t>(0 - v) : static_cast<int64_t>(v);
    return true;
}

bool SplitBodyLine(std::string_view line, std::string& name, std::string& inode, std::string& mode, int64_t& size,
                   int64_t& mtime) {
    // R[k]: the k-th separator counted from the end (R[1] is the last one).
    size_t R[11];
    size_t found = 0;
    for (size_t i = line.size(); i > 0 && found < 10; --i)
        if (line[i - 1] == '|') R[++found] = i - 1;
    if (found < 10) return false;  // fewer than 11 fields
    const size_t first = line.find('|');
    const auto field = [&](size_t k) {  // the field after R[k], up to R[k-1]
        return line.substr(R[k] + 1, R[k - 1] - R[k] - 1);
    };
    // With n fields: address n-9, mode n-8, size n-5, mtime n-3; the name is fields
    // 1..n-10, i.e. what lies between the first separator and R[9].
    inode = std::string(TrimView(field(9)));
    mode = std::string(TrimView(field(8)));
    size = NumberOrMinusOne(field(5));
    mtime = NumberOrMinusOne(field(3));
    name = std::string(TrimView(line.substr(first + 1, R[9] - first - 1)));
    return !name.empty() && !inode.empty();
}

bool TryParseOctal(std::string_view text, uint64_t& value) {
    if (text.empty()) return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '7') return false;
        if (v > (std::numeric_limits<uint64_t>::max() >> 3)) return false;
        v = v * 8 + static_cast<unsigned>(c - '0');
    }
    value = v;
    return true;
}

bool IsDirMode(std::string_view modeText) {
    const std::string_view t = TrimView(modeText);
    if (t.empty()) return false;
    if (t[0] == 'd' || t[0] == 'D') return true;
    if (t.size() >= 3 && (t[2] == 'd' || t[2] == 'D')) return true;
    uint64_t v = 0;
    if (!TryParseOctal(t, v)) {
        int64_t s;
        if (!TryParseInteger(t, s)) return false;
        v = static_cast<uint64_t>(s);
    }
    return (v & 0xF000) == 0x4000;
}

bool IsDirLikeName(std::string_view name) {
    const std::string_view t = TrimView(name);
    if (!t.empty() && (t.back() == '/' || t.back() == '\\')) return true;
    const size_t cut = t.find_last_of("/\\");
    const std::string_view last = TrimView(cut == std::string_view::npos ? t : t.substr(cut + 1));
    if (last.empty() || last == "." || last == "..") return true;
    return last.find('.') == std::string_view::npos;
}

} // namespace brivo
