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
inline int AnsiCodePage() { return kCodePageAnsi; }

// The OEM code page that Windows uses for a locale's language ("de_DE.UTF-8" gives 850,
// "en_US.UTF-8" 437, "ru_RU.UTF-8" 866); 437 for C, POSIX and languages not listed.
int OemCodePageForLocale(std::string_view locale);
// The user's OEM code page, in which FAT short names are written: BRIVO_OEM_CODEPAGE when it
// names a supported code page, else the one of the locale (LC_ALL, LC_CTYPE, LANG, the first
// one set). Read once.
int OemCodePage();
// Where OemCodePage came from ("LANG=de_DE.UTF-8"), for the debug log.
std::string OemCodePageSource();

// True for the single-byte code pages that DecodeCodePage knows: 437, 737, 775, 850, 852,
// 855, 857, 862, 866, 1251, 1252.
bool IsSupportedCodePage(int codePage);

// The character of every byte value in a code page, as Windows decodes it: bytes the
// code page leaves undefined map to the code point of the same value (1252: 0x81, 0x8D,
// 0x8F, 0x90, 0x9D; 1251: 0x98), and the low bytes of the OEM code pages (437, 850, 866, ...)
// are the control characters U+0000..U+001F and U+007F, not the glyphs. Built once per code page from
// iconv; throws std::invalid_argument for an unsupported code page.
const std::array<char32_t, 256>& CodePageTable(int codePage);

// Decodes bytes of a single-byte code page into UTF-8. Every byte gives exactly one
// character, so the decoding never fails. Throws std::invalid_argument for an
// unsupported code page.
std::string DecodeCodePage(std::string_view bytes, int codePage);

} // namespace brivo
