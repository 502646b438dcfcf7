#include "engine/CommandLine.h"

#include <algorithm>

#include "core/Text.h"

namespace brivo {

TToolCommand& TToolCommand::Add(std::string word) {
    Args.push_back(std::move(word));
    return *this;
}

TToolCommand& TToolCommand::AddWords(std::string_view words) {
    for (auto& w : SplitOptionWords(words)) Args.push_back(std::move(w));
    return *this;
}

TToolCommand& TToolCommand::AddPath(std::string path) {
    pathArgs_.push_back(Args.size());
    Args.push_back(std::move(path));
    return *this;
}

std::string TToolCommand::Display() const {
    std::string out = QuoteForDisplay(Program);
    for (size_t i = 0; i < Args.size(); ++i) {
        out += ' ';
        const bool quoted = std::find(pathArgs_.begin(), pathArgs_.end(), i) != pathArgs_.end();
        out += quoted ? QuoteForDisplay(Args[i]) : Args[i];
    }
    return out;
}

std::string QuoteForDisplay(std::string_view arg) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out = "\"";
    out.reserve(arg.size() + 2);
    size_t i = 0;
    while (i < arg.size()) {
        const auto b = static_cast<unsigned char>(arg[i]);
        char32_t cp = 0;
        const size_t len = b < 0x80 ? 1 : DecodeUtf8At(arg, i, cp);
        if (len > 1) {
            out.append(arg.substr(i, len));
            i += len;
            continue;
        }
        ++i;
        if (b == '"' || b == '\\') {
            out += '\\';
            out += static_cast<char>(b);
        } else if (b == '\n') {
            out += "\\n";
        } else if (b == '\t') {
            out += "\\t";
        } else if (b == '\r') {
            out += "\\r";
        } else if (b < 0x20 || b >= 0x7F) {  // other controls, and bytes that are not UTF-8
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        } else {
            out += static_cast<char>(b);
        }
    }
    out += '"';
    return out;
}

std::vector<std::string> SplitOptionWords(std::string_view words) {
    std::vector<std::string> out;
    size_t i = 0;
    while (i < words.size()) {
        while (i < words.size() && (words[i] == ' ' || words[i] == '\t')) ++i;
        const size_t start = i;
        while (i < words.size() && words[i] != ' ' && words[i] != '\t') ++i;
        if (i > start) out.emplace_back(words.substr(start, i - start));
    }
    return out;
}

} // namespace brivo
