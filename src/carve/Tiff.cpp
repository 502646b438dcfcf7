#include <algorithm>
#include <cstring>
#include <set>

#include "carve/CarveFormat.h"
#include "carve/Exif.h"

namespace brivo::carve {

namespace {

constexpr uint32_t kMaxIfds = 64;
constexpr uint32_t kMaxEntries = 1000;
constexpr uint32_t kMaxArray = 1u << 20;  // strips or tiles of one picture

struct TWalk {
    explicit TWalk(TTiffReader r) : R(r) {}
    TTiffReader R;
    uint64_t End = 8;
    bool Bad = false;
    bool Dng = false;
    std::string Make;
    std::vector<uint32_t> Queue;
    std::set<uint32_t> Seen;

    void Extend(uint64_t end) { End = std::max(End, end); }

    uint32_t Value(uint32_t type, uint64_t at) { return type == 3 ? R.U16(at) : R.U32(at); }

    // Offsets and byte counts of strips or tiles, read in pairs.
    void Pairs(uint32_t offType, uint32_t offCount, uint64_t offEntry, uint32_t lenType, uint32_t lenCount,
               uint64_t lenEntry) {
        const uint32_t n = std::min({offCount, lenCount, kMaxArray});
        const uint32_t os = TTiffReader::TypeSize(offType), ls = TTiffReader::TypeSize(lenType);
        if ((os != 2 && os != 4) || (ls != 2 && ls != 4)) return;
        const uint64_t oat = uint64_t{os} * offCount <= 4 ? offEntry + 8 : R.U32(offEntry + 8);
        const uint64_t lat = uint64_t{ls} * lenCount <= 4 ? lenEntry + 8 : R.U32(lenEntry + 8);
        for (uint32_t i = 0; i < n; ++i)
            Extend(uint64_t{Value(offType, oat + uint64_t{os} * i)} + Value(lenType, lat + uint64_t{ls} * i));
    }

    void Ifd(uint32_t off) {
        if (off < 8 || !Seen.insert(off).second || Seen.size() > kMaxIfds) return;
        const uint32_t n = R.U16(off);
        if (n == 0 || n > kMaxEntries) {
            Bad = Seen.size() == 1;
            return;
        }
        Extend(uint64_t{off} + 2 + 12ull * n + 4);
        uint64_t so = 0, sl = 0, to = 0, tl = 0, jo = 0;
        uint32_t jpegOff = 0, jpegLen = 0;
        for (uint32_t i = 0; i < n; ++i) {
            const uint64_t e = uint64_t{off} + 2 + 12ull * i;
            const uint32_t tag = R.U16(e), type = R.U16(e + 2), count = R.U32(e + 4);
            const uint32_t ts = TTiffReader::TypeSize(type);
            if (ts == 0) {
                // An unknown field type in the first IFD means this is no TIFF.
                if (Seen.size() == 1) Bad = true;
                continue;
            }
            const uint64_t size = uint64_t{ts} * count;
            if (size > 4) Extend(uint64_t{R.U32(e + 8)} + size);
            switch (tag) {
            case 0x0111: so = e; break;
            case 0x0117: sl = e; break;
            case 0x0144: to = e; break;
            case 0x0145: tl = e; break;
            case 0x0201: jpegOff = R.U32(e + 8); jo = e; break;
            case 0x0202: jpegLen = R.U32(e + 8); break;
            case 0xC612: Dng = true; break;
            case 0x010F:
                if (Seen.size() == 1 && type == 2) {
                    char buf[16] = {};
                    const uint64_t at = count <= 4 ? e + 8 : R.U32(e + 8);
                    R.In.Read(R.Base + at, reinterpret_cast<uint8_t*>(buf), std::min<uint32_t>(count, 15));
                    Make = buf;
                }
                break;
            case 0x014A:  // SubIFDs
            case 0x8769:  // EXIF
            case 0x8825:  // GPS
            case 0xA005:  // interoperability
                if (count == 1) Queue.push_back(R.U32(e + 8));
                else if ((type == 4 || type == 13) && count <= 16) {
                    const uint32_t at = R.U32(e + 8);
                    for (uint32_t k = 0; k < count; ++k) Queue.push_back(R.U32(uint64_t{at} + 4 * k));
                }
                break;
            default: break;
            }
        }
        auto typeCount = [&](uint64_t e, uint32_t& type, uint32_t& count) {
            type = R.U16(e + 2);
            count = R.U32(e + 4);
        };
        uint32_t t1, c1, t2, c2;
        if (so && sl) {
            typeCount(so, t1, c1);
            typeCount(sl, t2, c2);
            Pairs(t1, c1, so, t2, c2, sl);
        }
        if (to && tl) {
            typeCount(to, t1, c1);
            typeCount(tl, t2, c2);
            Pairs(t1, c1, to, t2, c2, tl);
        }
        if (jo && jpegLen) Extend(uint64_t{jpegOff} + jpegLen);
        Queue.push_back(R.U32(uint64_t{off} + 2 + 12ull * n));
    }
};

} // namespace

// Every IFD reachable from the header (the chain, SubIFDs, EXIF, GPS) and every block they
// point at: the file ends at the furthest byte any of them claims. Raw camera formats are
// TIFF underneath and named from the header's variant or the maker. The strips and tiles
// carry no check: a whole file is proven no further than its header.
TCarveHit WalkTiff(TCarveInput& in) {
    uint8_t h[16] = {};
    if (in.Read(0, h, sizeof h) < 8) return {};
    const bool ii = h[0] == 'I' && h[1] == 'I', mm = h[0] == 'M' && h[1] == 'M';
    if (!ii && !mm) return {};
    const uint32_t magic = ii ? (h[2] | h[3] << 8) : (h[2] << 8 | h[3]);
    std::string ext;
    if (magic == 42) ext = (ii && std::memcmp(h + 8, "CR\x02", 3) == 0) ? "cr2" : "tif";
    else if (magic == 0x4F52 || magic == 0x5352) ext = "orf";  // "RO", "RS"
    else if (magic == 0x55 && ii) ext = "rw2";
    else return {};
    TWalk w{TTiffReader{in, mm, 0}};
    w.Queue.push_back(w.R.U32(4));
    while (!w.Queue.empty() && w.Seen.size() <= kMaxIfds) {
        const uint32_t off = w.Queue.front();
        w.Queue.erase(w.Queue.begin());
        if (off) w.Ifd(off);
        if (w.Bad) return {};
    }
    if (w.Seen.empty()) return {};
    if (ext == "tif") {
        if (w.Dng) ext = "dng";
        else if (w.Make.rfind("NIKON", 0) == 0) ext = "nef";
        else if (w.Make.rfind("SONY", 0) == 0) ext = "arw";
    }
    TCarveHit hit;
    NameFromExif(in, 0, hit);
    hit.Ext = ext;
    hit.End = w.End <= in.Size() ? TCarveEnd::Damaged : TCarveEnd::CutShort;
    hit.Length = std::min(w.End, in.Size());
    hit.ProvenBytes = hit.End == TCarveEnd::Damaged ? std::min<uint64_t>(8, hit.Length) : hit.Length;
    hit.ContentUnchecked = hit.End == TCarveEnd::Damaged;
    return hit;
}

} // namespace brivo::carve
