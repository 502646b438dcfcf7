#pragma once
#include <string>
#include <vector>

namespace brivo {

// Engine command lines are plain strings ("\"/usr/bin/fls\" -f fat -r -p -m / -d \"/dev/sdb1\" 12").
// They are never handed to a shell: SplitCommandLine turns them into an argv.

// The path between double quotes, ready to be placed in a command line. Throws when the
// path holds a double quote or a control character: such a path cannot be split back
// into the same argument, so it is refused rather than passed on altered.
std::string QuoteArg(const std::string& path);

// Blanks (space, tab) separate words outside double quotes; the quotes themselves are
// removed; "" gives an empty word. Throws on an unbalanced double quote or when no word
// is left.
std::vector<std::string> SplitCommandLine(const std::string& commandLine);

} // namespace brivo
