#pragma once
#include <cstdint>
#include <string>
#include <string_view>

namespace brivo {

// The engine tools print names in whatever code page they were built for, so their
// output is decoded by trying UTF-8 (when the bytes are valid UTF-8), the OEM and ANSI
// code pages, 1251 and 866, and keeping the candidate that reads most like text. The
// first candidate with the highest score wins: plain ASCII stays UTF-8. Well-formed
// UTF-8 is kept without scoring (the engine writes names in UTF-8).
std::string DecodeToolOutput(std::string_view bytes);

// Lead bytes 0xC2..0xF4 with the right number of continuation bytes 0x80..0xBF; no
// further checks (overlong three- and four-byte forms and surrogates pass).
bool IsValidUtf8(std::string_view bytes);

// Sum over the UTF-16 code units of the text: Cyrillic +6, ASCII letters, digits and
// the usual path punctuation +1, U+FFFD -20, control characters -10, box drawing -6,
// anything else 0. The text is UTF-8; a byte that is not part of valid UTF-8 counts as
// U+FFFD.
int64_t ScoreDecodedText(std::string_view text);

// Score of one UTF-16 code unit (the table above).
int ScoreCodeUnit(char32_t unit);

} // namespace brivo
