#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace brivo {

// One line of the engine's body format ("-m /"): eleven "|"-separated fields,
//   0 md5 | 1 name | 2 address | 3 mode | 4 uid | 5 gid | 6 size | 7 atime | 8 mtime | 9 ctime | 10 crtime
// A name holding "|" adds fields; the last nine are always the fixed ones, so they are
// counted from the end and the name is everything between the first field and them.
// Size and MTime are -1 when not a number. False for fewer than 11 fields or an empty
// name or address.
bool SplitBodyLine(std::string_view line, std::string& name, std::string& inode, std::string& mode, int64_t& size,
                   int64_t& mtime);

// "d/d..." (name type), "r/d..." (metadata type third) or a numeric mode with the
// directory type bits (octal first, then decimal or $/0x hexadecimal).
bool IsDirMode(std::string_view mode);

// Digits 0..7 only, at least one; false on overflow.
bool TryParseOctal(std::string_view text, uint64_t& value);

// Ends with "/" or "\", or its last component is empty, ".", ".." or has no ".". Any
// dot-less name counts as a directory (the engine's listing cannot tell them apart once
// the mode is unknown).
bool IsDirLikeName(std::string_view name);

// Decimal Int64 with an optional sign; false for anything else or on overflow.
bool TryParseDecimal64(std::string_view text, int64_t& value);

} // namespace brivo
