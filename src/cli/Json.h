#pragma once
#include <cstdint>
#include <string>
#include <string_view>
#include <type_traits>
#include <vector>

namespace brivo::cli {

// The text of a JSON string without its quotes: '"' and '\\' escaped, the control
// characters U+0000..U+001F as \b \f \n \r \t or \u00XX. Bytes that are not valid UTF-8
// (file names on Linux are bytes; volumes hold damaged names) become U+FFFD, so the
// output is always valid UTF-8 and valid JSON.
std::string JsonEscape(std::string_view text);

// JsonEscape between double quotes.
std::string JsonString(std::string_view text);

// Builds one JSON object, members in the order added: {"a": 1, "b": "x"}.
class TJsonObject {
public:
    TJsonObject& Add(std::string_view key, std::string_view value);
    TJsonObject& Add(std::string_view key, const char* value) { return Add(key, std::string_view(value)); }
    template <typename T, std::enable_if_t<std::is_integral_v<T> && !std::is_same_v<T, bool>, int> = 0>
    TJsonObject& Add(std::string_view key, T value) {
        Key(key);
        body_ += std::to_string(value);
        return *this;
    }
    TJsonObject& Add(std::string_view key, bool value);
    // A value that is already JSON text (a nested object or array).
    TJsonObject& AddRaw(std::string_view key, std::string_view json);
    std::string Text() const { return "{" + body_ + "}"; }

private:
    void Key(std::string_view key);
    std::string body_;
};

// Items that are already JSON text, as an array: [a, b].
std::string JsonArray(const std::vector<std::string>& jsonItems);

} // namespace brivo::cli
