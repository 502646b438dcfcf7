#include "carve/Exif.h"

#include <cstdio>

namespace brivo::carve {

uint32_t TTiffReader::U16(uint64_t off) {
    uint8_t b[2];
    if (In.Read(Base + off, b, 2) != 2) return 0;
    return Big ? (b[0] << 8 | b[1]) : (b[1] << 8 | b[0]);
}

uint32_t TTiffReader::U32(uint64_t off) {
    uint8_t b[4];
    if (In.Read(Base + off, b, 4) != 4) return 0;
    return Big ? (uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3])
               : (uint32_t(b[3]) << 24 | uint32_t(b[2]) << 16 | uint32_t(b[1]) << 8 | b[0]);
}

uint32_t TTiffReader::TypeSize(uint32_t type) {
    static const uint32_t sizes[] = {0, 1, 1, 2, 4, 8, 1, 1, 2, 4, 8, 4, 8, 4};
    return type < 14 ? sizes[type] : 0;
}

TDateTime MakeDateTime(int y, int mo, int d, int h, int mi, int s) {
    // Days from civil (proleptic Gregorian), then shifted to 1899-12-30.
    y -= mo <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days = static_cast<long>(era) * 146097 + doe - 719468;  // since 1970-01-01
    return static_cast<double>(days + 25569) + (h * 3600 + mi * 60 + s) / 86400.0;
}

bool ParseExifDate(const std::string& s, TDateTime& out) {
    int y, mo, d, h, mi, sec;
    if (std::sscanf(s.c_str(), "%4d:%2d:%2d %2d:%2d:%2d", &y, &mo, &d, &h, &mi, &sec) != 6) return false;
    if (y < 1980 || y > 2200 || mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || sec > 60 || h < 0 ||
        mi < 0 || sec < 0)
        return false;
    out = MakeDateTime(y, mo, d, h, mi, sec);
    return true;
}

std::string CleanTitle(const std::string& raw) {
    std::string out;
    for (unsigned char c : raw) {
        if (c == 0) break;
        if (c < 0x20 || c == '/' || c == '\\' || c == ':' || c == '*' || c == '?' || c == '"' || c == '<' ||
            c == '>' || c == '|' || c == 0x7F)
            c = ' ';
        if (c == ' ' && (out.empty() || out.back() == ' ')) continue;
        out.push_back(static_cast<char>(c));
        if (out.size() >= 100) break;
    }
    // Cut back to whole UTF-8 characters, then drop trailing blanks and dots.
    while (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0x80) out.pop_back();
    if (!out.empty() && (static_cast<unsigned char>(out.back()) & 0xC0) == 0xC0) out.pop_back();
    while (!out.empty() && (out.back() == ' ' || out.back() == '.')) out.pop_back();
    return out;
}

namespace {

std::string AsciiField(TTiffReader& r, uint32_t type, uint32_t count, uint64_t entry) {
    if (type != 2 || count == 0 || count > 256) return {};
    std::string s(count, '\0');
    const uint64_t at = count <= 4 ? entry + 8 : r.U32(entry + 8);
    if (r.In.Read(r.Base + at, reinterpret_cast<uint8_t*>(s.data()), count) != count) return {};
    s.resize(s.find('\0') == std::string::npos ? s.size() : s.find('\0'));
    return s;
}

struct TExifTags {
    std::string Make, Model, Date, DateOriginal;
    uint32_t ExifIfd = 0;
};

void ReadIfdTags(TTiffReader& r, uint32_t ifd, TExifTags& t) {
    const uint32_t n = r.U16(ifd);
    if (n == 0 || n > 500) return;
    for (uint32_t i = 0; i < n; ++i) {
        const uint64_t e = uint64_t{ifd} + 2 + 12 * i;
        const uint32_t tag = r.U16(e), type = r.U16(e + 2), count = r.U32(e + 4);
        switch (tag) {
        case 0x010F: t.Make = AsciiField(r, type, count, e); break;
        case 0x0110: t.Model = AsciiField(r, type, count, e); break;
        case 0x0132: t.Date = AsciiField(r, type, count, e); break;
        case 0x9003: t.DateOriginal = AsciiField(r, type, count, e); break;
        case 0x8769: t.ExifIfd = r.U32(e + 8); break;
        default: break;
        }
    }
}

std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == ' ' || s.back() == '\0')) s.pop_back();
    size_t i = 0;
    while (i < s.size() && s[i] == ' ') ++i;
    return s.substr(i);
}

} // namespace

void NameFromExif(TCarveInput& in, uint64_t tiffStart, TCarveHit& hit) {
    uint8_t h[4];
    if (in.Read(tiffStart, h, 4) != 4) return;
    TTiffReader r{in, h[0] == 'M', tiffStart};
    if (!((h[0] == 'I' && h[1] == 'I') || (h[0] == 'M' && h[1] == 'M'))) return;
    TExifTags t;
    ReadIfdTags(r, r.U32(4), t);
    if (t.ExifIfd) ReadIfdTags(r, t.ExifIfd, t);
    const std::string date = !t.DateOriginal.empty() ? t.DateOriginal : t.Date;
    TDateTime dt = 0;
    if (!ParseExifDate(date, dt)) return;  // a camera name alone is no better than f<sector>
    hit.ModDate = dt;
    hit.HasModDate = true;
    std::string name = date.substr(0, 10);
    for (char& c : name) c = c == ':' ? '-' : c;
    std::string time = date.substr(11, 8);
    for (char& c : time) c = c == ':' ? '.' : c;
    name += " " + time;
    std::string make = Trim(t.Make), model = Trim(t.Model);
    // Most models already begin with the maker's name ("Canon EOS 80D"); others do not
    // ("NIKON CORPORATION" + "NIKON D750" is fine, "Apple" + "iPhone 12" is not).
    std::string camera = model;
    if (!make.empty()) {
        const std::string firstWord = make.substr(0, make.find(' '));
        if (model.empty()) camera = make;
        else if (model.compare(0, firstWord.size(), firstWord) != 0) camera = firstWord + " " + model;
    }
    camera = CleanTitle(camera);
    if (!camera.empty()) name += " (" + camera + ")";
    hit.Title = CleanTitle(name);
}

} // namespace brivo::carve
