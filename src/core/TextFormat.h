#pragma once
#include <cstdint>
#include <initializer_list>
#include <string>
#include <type_traits>

namespace brivo {

// One argument of Format: integers and texts, already turned into text.
class TFormatArg {
public:
    TFormatArg(const std::string& s) : text_(s) {}
    TFormatArg(const char* s) : text_(s ? s : "") {}
    template <typename T, typename = std::enable_if_t<std::is_integral_v<T>>>
    TFormatArg(T v) : text_(std::to_string(v)) {}
    const std::string& text() const { return text_; }

private:
    std::string text_;
};

// Fills %d, %u and %s (and "%%") of a message template from args in order. Templates
// come from the translation table, so a stray or missing directive must never crash:
// directives without an argument are left as they are, extra arguments are ignored.
std::string Format(const std::string& fmt, std::initializer_list<TFormatArg> args);

} // namespace brivo
