#include "platform/CodePages.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace brivo {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// glibc names of each code page's converter, tried in order.
const char* const* IconvNames(int codePage) {
    static const char* const k437[] = {"IBM437", "CP437", nullptr};
    static const char* const k866[] = {"IBM866", "CP866", nullptr};
    static const char* const k1251[] = {"CP1251", "WINDOWS-1251", nullptr};
    static const char* const k1252[] = {"CP1252", "WINDOWS-1252", nullptr};
    switch (codePage) {
        case 437: return k437;
        case 866: return k866;
        case 1251: return k1251;
        case 1252: return k1252;
        default: return nullptr;
    }
}

// One byte through iconv; false when the converter rejects it (an undefined byte).
bool ConvertByte(iconv_t cd, unsigned char byte, char32_t& out) {
    iconv(cd, nullptr, nullptr, nullptr, nullptr);  // reset any shift state
    char in[1] = {static_cast<char>(byte)};
    unsigned char buf[16] = {};
    char* inp = in;
    size_t inLeft = 1;
    char* outp = reinterpret_cast<char*>(buf);
    size_t outLeft = sizeof buf;
    if (iconv(cd, &inp, &inLeft, &outp, &outLeft) == static_cast<size_t>(-1)) return false;
    if (iconv(cd, nullptr, nullptr, &outp, &outLeft) == static_cast<size_t>(-1)) return false;
    // A single-byte code page yields exactly one UTF-32 unit per byte.
    if (inLeft != 0 || sizeof buf - outLeft != 4) return false;
    out = static_cast<char32_t>(buf[0]) | static_cast<char32_t>(buf[1]) << 8 | static_cast<char32_t>(buf[2]) << 16 |
          static_cast<char32_t>(buf[3]) << 24;
    return true;
}

std::array<char32_t, 256> BuildTable(int codePage) {
    std::array<char32_t, 256> table{};
    iconv_t cd = reinterpret_cast<iconv_t>(-1);
    for (const char* const* n = IconvNames(codePage); n && *n && cd == reinterpret_cast<iconv_t>(-1); ++n)
        cd = iconv_open("UTF-32LE", *n);
    for (int b = 0; b < 256; ++b) {
        char32_t c = 0;
        const bool ok = cd != reinterpret_cast<iconv_t>(-1) && ConvertByte(cd, static_cast<unsigned char>(b), c);
        if (ok) {
            table[static_cast<size_t>(b)] = c;
        } else if (cd != reinterpret_cast<iconv_t>(-1) || b < 0x80) {
            // Windows passes a byte its code page leaves undefined through as the code
            // point of the same value. Without a converter only ASCII is known for sure:
            // all four code pages share it.
            table[static_cast<size_t>(b)] = static_cast<char32_t>(b);
        } else {
            table[static_cast<size_t>(b)] = kReplacement;
        }
    }
    if (codePage == 437 || codePage == 866) {
        // Windows decodes these as control characters unless asked for glyphs; some
        // converters map them to the box-drawing glyphs (U+263A ...) instead.
        for (int b = 0; b < 0x20; ++b) table[static_cast<size_t>(b)] = static_cast<char32_t>(b);
        table[0x7F] = 0x7F;
    }
    if (cd != reinterpret_cast<iconv_t>(-1)) iconv_close(cd);
    return table;
}

} // namespace

bool IsSupportedCodePage(int codePage) { return IconvNames(codePage) != nullptr; }

namespace {

// The UTF-8 bytes of each byte value, so decoding is one copy per byte.
struct TUtf8Byte {
    char Bytes[4];
    uint8_t Length;
};

struct TCodePage {
    std::array<char32_t, 256> Chars;
    std::array<TUtf8Byte, 256> Utf8;
};

const TCodePage& LoadCodePage(int codePage) {
    static std::once_flag once[4];
    static TCodePage pages[4];
    int slot;
    switch (codePage) {
        case 437: slot = 0; break;
        case 866: slot = 1; break;
        case 1251: slot = 2; break;
        case 1252: slot = 3; break;
        default: throw std::invalid_argument("Unsupported code page " + std::to_string(codePage));
    }
    std::call_once(once[slot], [&] {
        TCodePage& p = pages[slot];
        p.Chars = BuildTable(codePage);
        for (size_t b = 0; b < 256; ++b) {
            // These code pages lie in the BMP (3 UTF-8 bytes at most); anything else would
            // break the decoder's buffer bound, so it becomes U+FFFD.
            if (p.Chars[b] > 0xFFFF) p.Chars[b] = kReplacement;
            const std::string u = EncodeUtf8(p.Chars[b]);
            p.Utf8[b] = {};
            std::memcpy(p.Utf8[b].Bytes, u.data(), u.size());
            p.Utf8[b].Length = static_cast<uint8_t>(u.size());
        }
    });
    return pages[slot];
}

} // namespace

const std::array<char32_t, 256>& CodePageTable(int codePage) { return LoadCodePage(codePage).Chars; }

std::string DecodeCodePage(std::string_view bytes, int codePage) {
    const auto& utf8 = LoadCodePage(codePage).Utf8;
    std::string out(bytes.size() * 3, '\0');
    char* w = out.data();
    for (char c : bytes) {
        const TUtf8Byte& u = utf8[static_cast<unsigned char>(c)];
        std::memcpy(w, u.Bytes, 3);
        w += u.Length;
    }
    out.resize(static_cast<size_t>(w - out.data()));
    return out;
}

} // namespace brivo
