#include "cli/Json.h"

#include "core/Text.h"

namespace brivo::cli {

namespace {

size_t Utf8SequenceLength(std::string_view s, size_t i) {
    char32_t cp;
    return DecodeUtf8At(s, i, cp);
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

std::string JsonString(std::string_view text) {
    // Appended rather than "\"" + ...: GCC 12 reports a false -Wrestrict on the latter.
    std::string out(1, '"');
    out += JsonEscape(text);
    out += '"';
    return out;
}

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
