#pragma once
#include <bitset>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "core/FoundFile.h"

namespace brivo {

// Raised for a mask the matcher cannot use. The message names the mask and the
// 1-based character position of the fault; it ends the scan that is running.
class TMaskError : public std::runtime_error {
public:
    TMaskError(std::string mask, int position, const std::string& reason);
    const std::string& Mask() const { return FMask; }
    int Position() const { return FPosition; }

private:
    std::string FMask;
    int FPosition;
};

// One file-name mask, compiled once and matched against whole names.
//   *      any run of characters, the empty run included
//   ?      exactly one character; after a "*" with only "*" or "?" in between it adds nothing
//   [...]  one character of the set; "a-z" is a range, a leading "!" negates;
//          members are characters up to code 255, a name character above 255 is never in a set
//   other  itself; only the ASCII letters compare without regard to case
// Names and masks are UTF-8 and are compared character by character (code points);
// a byte that is not part of valid UTF-8 counts as one character of its own.
class TFileMask {
public:
    // Throws TMaskError for a set without "]", an empty set, a "-" with nothing
    // before it in a set, or more than 30 "*" groups.
    explicit TFileMask(std::string_view mask);

    bool Matches(std::string_view name) const;
    const std::string& Text() const { return FText; }

private:
    friend bool MatchesAnyMask(std::string_view nameOrPath, const TMaskList& masks);
    bool MatchesChars(std::u32string_view chars) const;  // a name already decoded

    enum class TKind : unsigned char { Literal, AnyOne, Set, Star };
    struct TToken {
        TKind Kind = TKind::Literal;
        bool Negate = false;
        char32_t Ch = 0;                  // Literal: the character, ASCII letters in lower case
        unsigned SetIndex = 0;            // Set: index into FSets
    };

    std::string FText;
    std::vector<TToken> FTokens;
    std::vector<std::bitset<256>> FSets;  // both cases of every ASCII letter member
};

// Throws TMaskError for the first mask of the list that cannot be compiled.
void ValidateMasks(const TMaskList& masks);

// True when the file-name part of nameOrPath (after the last "/", "\" or ":"; the whole
// text when that part is empty) matches any mask of the list; an empty list gives false.
// Every mask of the list is compiled before the first test, so an invalid mask raises
// TMaskError whatever the name. Compiled lists are cached per thread.
bool MatchesAnyMask(std::string_view nameOrPath, const TMaskList& masks);

} // namespace brivo
