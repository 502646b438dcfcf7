#include "engine/CommandLine.h"

#include <stdexcept>

namespace brivo {

namespace {

bool IsControl(unsigned char c) { return c < 0x20 || c == 0x7F; }

// The path as it can be shown in a message: control characters would garble the log.
std::string Printable(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) out += IsControl(c) ? '?' : static_cast<char>(c);
    return out;
}

} // namespace

std::string QuoteArg(const std::string& path) {
    for (unsigned char c : path) {
        if (c == '"' || IsControl(c))
            throw std::runtime_error("Cannot pass a path that holds a double quote or a control character to the engine: " +
                                     Printable(path));
    }
    return "\"" + path + "\"";
}

std::vector<std::string> SplitCommandLine(const std::string& commandLine) {
    std::vector<std::string> words;
    std::string cur;
    bool inWord = false, inQuotes = false;
    for (char c : commandLine) {
        if (c == '"') {
            inQuotes = !inQuotes;
            inWord = true;  // "" is an (empty) word of its own
        } else if (!inQuotes && (c == ' ' || c == '\t')) {
            if (inWord) words.push_back(std::move(cur));
            cur.clear();
            inWord = false;
        } else {
            cur += c;
            inWord = true;
        }
    }
    if (inQuotes) throw std::runtime_error("Unbalanced double quote in command line: " + commandLine);
    if (inWord) words.push_back(std::move(cur));
    if (words.empty()) throw std::runtime_error("Empty command line.");
    return words;
}

} // namespace brivo
