#include <cstring>
#include <string_view>

#include "carve/CarveFormat.h"

namespace brivo::carve {

namespace {

bool TopLevelBox(std::string_view t) {
    static const char* const kTypes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta", "moof",
                                         "mfra", "pdin", "styp", "sidx", "ssix", "prft", "emsg", "pnot", "junk",
                                         "udta", "bloc", "prfl", "PICT", "thum"};
    for (const char* k : kTypes)
        if (t == k) return true;
    return false;
}

std::string ExtFromBrands(const uint8_t* ftyp, uint32_t len) {
    auto brand = [&](uint32_t at) { return std::string_view(reinterpret_cast<const char*>(ftyp) + at, 4); };
    // The major brand first, then the compatible ones.
    std::vector<std::string_view> brands{brand(0)};
    for (uint32_t at = 8; at + 4 <= len; at += 4) brands.push_back(brand(at));
    for (auto b : brands) {
        if (b == "crx ") return "cr3";
        if (b == "qt  ") return "mov";
        if (b == "M4A " || b == "M4B ") return "m4a";
        if (b.substr(0, 3) == "3gp" || b.substr(0, 3) == "3g2") return "3gp";
        if (b == "avif" || b == "avis") return "avif";
        if (b == "heic" || b == "heix" || b == "hevc" || b == "heim" || b == "heis" || b == "mif1" || b == "msf1")
            return "heic";
        if (b == "isom" || b == "iso2" || b == "mp41" || b == "mp42" || b == "avc1" || b == "M4V " || b == "dash")
            return "mp4";
    }
    return "mp4";
}

} // namespace

// Top-level boxes by their sizes, as long as each is a box such a file holds at top level.
// Whole when the boxes that make it playable are there (a movie box for video and sound,
// a meta box for still pictures); without them the file was cut before its index.
TCarveHit WalkIsoBmff(TCarveInput& in) {
    TCarveCursor c(in);
    uint8_t h[8];
    if (!c.Read(h, 8) || std::memcmp(h + 4, "ftyp", 4) != 0) return {};
    const uint32_t ftypLen = ReadBe32(h, 0);
    if (ftypLen < 16 || ftypLen > 1024 || (ftypLen & 3)) return {};
    std::vector<uint8_t> ftyp(ftypLen - 8);
    if (!c.Read(ftyp.data(), ftyp.size())) return {};
    // Brands are four printable characters; the minor version between them is a number.
    for (size_t i = 0; i < ftyp.size(); ++i)
        if ((i < 4 || i >= 8) && (ftyp[i] < 0x20 || ftyp[i] > 0x7E)) return {};
    const std::string ext = ExtFromBrands(ftyp.data(), static_cast<uint32_t>(ftyp.size()));
    const bool still = ext == "heic" || ext == "avif";
    bool moov = false, meta = false, mdat = false;
    auto whole = [&] { return still ? (meta && mdat) : (moov && mdat); };
    for (;;) {
        const uint64_t at = c.Pos();
        uint8_t b[16];
        if (!c.Read(b, 8)) {
            if (at >= in.Size() && whole()) return Ended(TCarveEnd::Complete, at, ext);
            return Ended(whole() ? TCarveEnd::Complete : TCarveEnd::CutShort, std::min(at, in.Size()), ext);
        }
        const std::string_view type(reinterpret_cast<const char*>(b) + 4, 4);
        if (!TopLevelBox(type)) return Ended(whole() ? TCarveEnd::Complete : TCarveEnd::CutShort, at, ext);
        uint64_t size = ReadBe32(b, 0);
        if (size == 1) {
            if (!c.Read(b + 8, 8)) return Ended(TCarveEnd::CutShort, in.Size(), ext);
            size = ReadBe64(b, 8);
            if (size < 16) return Ended(whole() ? TCarveEnd::Complete : TCarveEnd::CutShort, at, ext);
        } else if (size == 0) {
            // The last box runs to the end of the file, which nothing here states.
            return Ended(TCarveEnd::CutShort, in.Size(), ext);
        } else if (size < 8) {
            return Ended(whole() ? TCarveEnd::Complete : TCarveEnd::CutShort, at, ext);
        }
        if (type == "moov") moov = true;
        if (type == "meta") meta = true;
        if (type == "mdat") mdat = true;
        if (at + size > in.Size() || size > in.Size()) return Ended(TCarveEnd::CutShort, in.Size(), ext);
        c.Seek(at + size);
    }
}

} // namespace brivo::carve
