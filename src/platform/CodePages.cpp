#include "platform/CodePages.h"

#include <iconv.h>

#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <stdexcept>

namespace brivo {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

// The code pages known here, with glibc's names of each one's converter, tried in order.
struct TCodePageNames {
    int CodePage;
    const char* Names[3];
};
constexpr TCodePageNames kCodePages[] = {
    {437, {"IBM437", "CP437", nullptr}},   {737, {"CP737", nullptr, nullptr}},
    {775, {"IBM775", "CP775", nullptr}},   {850, {"IBM850", "CP850", nullptr}},
    {852, {"IBM852", "CP852", nullptr}},   {855, {"IBM855", "CP855", nullptr}},
    {857, {"IBM857", "CP857", nullptr}},   {862, {"IBM862", "CP862", nullptr}},
    {866, {"IBM866", "CP866", nullptr}},   {1251, {"CP1251", "WINDOWS-1251", nullptr}},
    {1252, {"CP1252", "WINDOWS-1252", nullptr}},
};
constexpr size_t kCodePageCount = sizeof kCodePages / sizeof kCodePages[0];

// The code page's place in kCodePages; kCodePageCount when unknown.
size_t CodePageSlot(int codePage) {
    for (size_t i = 0; i < kCodePageCount; ++i)
        if (kCodePages[i].CodePage == codePage) return i;
    return kCodePageCount;
}

const char* const* IconvNames(int codePage) {
    const size_t slot = CodePageSlot(codePage);
    return slot == kCodePageCount ? nullptr : kCodePages[slot].Names;
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
            // every code page here shares it.
            table[static_cast<size_t>(b)] = static_cast<char32_t>(b);
        } else {
            table[static_cast<size_t>(b)] = kReplacement;
        }
    }
    if (codePage < 1000) {
        // The OEM code pages: Windows decodes these as control characters unless asked for
        // glyphs; some converters map them to the box-drawing glyphs (U+263A ...) instead.
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
    static std::once_flag once[kCodePageCount];
    static TCodePage pages[kCodePageCount];
    const size_t slot = CodePageSlot(codePage);
    if (slot == kCodePageCount) throw std::invalid_argument("Unsupported code page " + std::to_string(codePage));
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

int OemCodePageForLocale(std::string_view locale) {
    // "de_DE.UTF-8@euro": the language and the territory.
    const std::string_view name = locale.substr(0, locale.find_first_of(".@"));
    const std::string_view lang = name.substr(0, name.find('_'));
    const std::string_view territory = name.find('_') == std::string_view::npos ? std::string_view() : name.substr(name.find('_') + 1);
    struct TLang {
        const char* Lang;
        int CodePage;
    };
    // The OEM code page Windows gives each language.
    static constexpr TLang kLangs[] = {
        {"de", 850}, {"fr", 850}, {"es", 850}, {"it", 850}, {"nl", 850}, {"pt", 850}, {"ca", 850},
        {"da", 850}, {"sv", 850}, {"nb", 850}, {"nn", 850}, {"no", 850}, {"fi", 850}, {"is", 850},
        {"ga", 850}, {"gl", 850}, {"eu", 850}, {"lb", 850}, {"fo", 850}, {"af", 850},
        {"cs", 852}, {"pl", 852}, {"hu", 852}, {"sk", 852}, {"sl", 852}, {"hr", 852}, {"ro", 852},
        {"sq", 852}, {"bs", 852},
        {"ru", 866}, {"uk", 866}, {"be", 866}, {"bg", 866}, {"mk", 866}, {"sr", 855},
        {"el", 737}, {"tr", 857}, {"lt", 775}, {"lv", 775}, {"et", 775}, {"he", 862},
    };
    // English is 437 in the United States (and wherever no territory is named), 850 elsewhere.
    if (lang == "en") return territory.empty() || territory == "US" ? 437 : 850;
    for (const TLang& l : kLangs)
        if (lang == l.Lang) return l.CodePage;
    return kCodePageOem;
}

namespace {

struct TOemSetting {
    int CodePage = kCodePageOem;
    std::string Source;
};

const TOemSetting& OemSetting() {
    static const TOemSetting setting = [] {
        TOemSetting s;
        if (const char* v = std::getenv("BRIVO_OEM_CODEPAGE"); v && *v) {
            char* end = nullptr;
            const long cp = std::strtol(v, &end, 10);
            if (end && *end == '\0' && cp > 0 && cp < 100000 && IsSupportedCodePage(int(cp))) {
                s.CodePage = int(cp);
                s.Source = "BRIVO_OEM_CODEPAGE";
                return s;
            }
        }
        // The locale that decides character handling, as the C library looks it up.
        for (const char* var : {"LC_ALL", "LC_CTYPE", "LANG"}) {
            const char* v = std::getenv(var);
            if (!v || !*v) continue;
            s.CodePage = OemCodePageForLocale(v);
            s.Source = std::string(var) + "=" + v;
            return s;
        }
        s.Source = "no locale set";
        return s;
    }();
    return setting;
}

} // namespace

int OemCodePage() { return OemSetting().CodePage; }

std::string OemCodePageSource() { return OemSetting().Source; }

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
