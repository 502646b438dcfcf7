#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace brivo::cli {

// The columns a terminal gives UTF-8 text: 2 per East Asian wide or full-width character,
// 0 per combining mark or zero-width character, 1 for everything else (a byte that is
// not valid UTF-8 included).
size_t DisplayColumns(std::string_view text);

// text cut to at most columns terminal columns, ending in "…" when something was cut.
// Cuts fall between characters, never inside one, and a character's combining marks stay
// with it; a wide character that would not fit whole is left out.
std::string FitColumns(std::string_view text, size_t columns);

} // namespace brivo::cli
