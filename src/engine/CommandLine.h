#pragma once
#include <string>
#include <string_view>
#include <vector>

namespace brivo {

// An engine tool's command: the program and its arguments, handed to the child exactly as
// they stand (never through a shell, never re-split), so any byte a Linux path can hold
// reaches the tool. The quoted text exists only for the "> " log line.
struct TToolCommand {
    std::string Program;
    std::vector<std::string> Args;

    // Option words, one argument each.
    TToolCommand& Add(std::string word);
    // Blank-separated option words such as a file-system switch (" -f ntfs"); none when blank.
    TToolCommand& AddWords(std::string_view words);
    // A path or other free text: one argument whatever it holds, quoted in the log line.
    TToolCommand& AddPath(std::string path);

    // "\"/usr/bin/fls\" -f ntfs -r -p -m / -d \"/dev/sdb1\" 12": the program and every path
    // between double quotes (see QuoteForDisplay), option words as they are.
    std::string Display() const;

private:
    std::vector<size_t> pathArgs_;  // indexes into Args shown quoted
};

// The text between double quotes as it is shown in a log line. Shown, never parsed back:
// a double quote or backslash gets a backslash before it, a control character or a byte
// that is not UTF-8 becomes \n, \t, \r or \xNN, so one argument stays on one line.
std::string QuoteForDisplay(std::string_view arg);

// Blank-separated words of an option text (" -f ntfs" gives "-f", "ntfs").
std::vector<std::string> SplitOptionWords(std::string_view words);

} // namespace brivo
