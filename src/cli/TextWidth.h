#pragma once
#include <cstddef>
#include <string_view>

namespace brivo::cli {

// The columns a terminal gives UTF-8 text: 2 per East Asian wide or full-width character,
// 0 per combining mark or zero-width character, 1 for everything else (a byte that is
// not valid UTF-8 included).
size_t DisplayColumns(std::string_view text);

} // namespace brivo::cli
