#pragma once
#include <array>
#include <string>
#include <string_view>

#include "platform/Utf8.h"

namespace brivo {

// The code pages of a Western Windows system, which wrote the volumes and tool output
// this program reads.
inline constexpr int kCodePageOem = 437;
inline constexpr int kCodePageAnsi = 1252;
inline int OemCodePage() { return kCodePageOem; }
inline int AnsiCodePage() { return kCodePageAnsi; }

// True for the single-byte code pages that DecodeCodePage knows: 437, 866, 1251, 1252.
bool IsSupportedCodePage(int codePage);

// The character of every byte value in a code page, as Windows decodes it: bytes the
// code page leaves undefined map to the code point of the same value (1252: 0x81, 0x8D,
// 0x8F, 0x90, 0x9D; 1251: 0x98), and the low bytes of 437 and 866 are the control
// characters U+0000..U+001F and U+007F, not the glyphs. Built once per code page from
// iconv; throws std::invalid_argument for an unsupported code page.
const std::array<char32_t, 256>& CodePageTable(int codePage);

// Decodes bytes of a single-byte code page into UTF-8. Every byte gives exactly one
// character, so the decoding never fails. Throws std::invalid_argument for an
// unsupported code page.
std::string DecodeCodePage(std::string_view bytes, int codePage);

} // namespace brivo
