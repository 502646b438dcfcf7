#include "cli/Json.h"

namespace brivo::cli {

namespace {

// Length of the valid UTF-8 sequence at s[i], or 0 when the bytes there are not one
// (overlong forms, surrogates and values above U+10FFFF included).
size_t Utf8SequenceLength(std::string_view s, size_t i) {
    const auto b = [&](size_t k) { return static_cast<unsigned char>(s[i + k]); };
    const auto cont = [&](size_t k) { return i + k < s.size() && (b(k) & 0xC0) == 0x80; };
    const unsigned char c = b(0);
    if (c < 0x80) return 1;
    if (c >= 0xC2 && c <= 0xDF) return cont(1) ? 2 : 0;
    if (c >= 0xE0 && c <= 0xEF) {
        if (!cont(1) || !cont(2)) return 0;
        if (c == 0xE0 && b(1) < 0xA0) return 0;  // overlong
        if (c == 0xED && b(1) >= 0xA0) return 0;  // surrogate
        return 3;
    }
    if (c >= 0xF0 && c <= 0xF4) {
        if (!cont(1) || !cont(2) || !cont(3)) return 0;
        if (c == 0xF0 && b(1) < 0x90) return 0;  // overlong
        if (c == 0xF4 && b(1) >= 0x90) return 0;  // above U+10FFFF
        return 4;
    }
    return 0;
}

} // namespace

std::string JsonEscape(std::string_view text) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(text.size() + 8);
    for (size_t i = 0; i < text.size();) {
        const unsigned char c = static_cast<unsigned char>(text[i]);
        const size_t n = Utf8SequenceLength(text, i);
        if (n == 0) {
            out += "\xEF\xBF\xBD";
            ++i;
            continue;
        }
        if (n > 1) {
            out.append(text.substr(i, n));
            i += n;
            continue;
        }
        switch (c) {
            case '"': out += "\\\""; break;
            case '\\': out += "\\\\"; break;
            case '\b': out += "\\b"; break;
            case '\f': out += "\\f"; break;
            case '\n': out += "\\n"; break;
            case '\r': out += "\\r"; break;
            case '\t': out += "\\t"; break;
            default:
                if (c < 0x20) {
                    out += "\\u00";
                    out.push_back(kHex[c >> 4]);
                    out.push_back(kHex[c & 0xF]);
                } else {
                    out.push_back(static_cast<char>(c));
                }
        }
        ++i;
    }
    return out;
}

std::string JsonString(std::string_view text) { return "\"" + JsonEscape(text) + "\""; }

void TJsonObject::Key(std::string_view key) {
    if (!body_.empty()) body_ += ", ";
    body_ += JsonString(key) + ": ";
}

TJsonObject& TJsonObject::Add(std::string_view key, std::string_view value) {
    Key(key);
    body_ += JsonString(value);
    return *this;
}

TJsonObject& TJsonObject::Add(std::string_view key, bool value) {
    Key(key);
    body_ += value ? "true" : "false";
    return *this;
}

TJsonObject& TJsonObject::AddRaw(std::string_view key, std::string_view json) {
    Key(key);
    body_.append(json);
    return *this;
}

std::string JsonArray(const std::vector<std::string>& jsonItems) {
    std::string s = "[";
    for (size_t i = 0; i < jsonItems.size(); ++i) s += (i ? ", " : "") + jsonItems[i];
    return s + "]";
}

} // namespace brivo::cli
