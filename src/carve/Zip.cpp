#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <string_view>

#include "carve/CarveFormat.h"
#include "carve/Exif.h"
#include "core/ByteReaders.h"

namespace brivo::carve {

namespace {

constexpr uint32_t kLocal = 0x04034B50, kCentral = 0x02014B50, kEnd = 0x06054B50, kDescriptor = 0x08074B50,
                   kEnd64 = 0x06064B50, kLocator64 = 0x07064B50, kSignature = 0x05054B50;

bool MethodKnown(uint32_t m) {
    return m == 0 || m == 1 || m == 6 || m == 8 || m == 9 || m == 12 || m == 14 || m == 93 || m == 95 || m == 98 || m == 99;
}

// What the entries' names say the archive is.
struct TZipKind {
    std::string Mimetype;
    bool Word = false, Excel = false, PowerPoint = false, Visio = false, Manifest = false, Android = false, Types = false;
    void Name(std::string_view n) {
        if (n.starts_with("word/")) Word = true;
        else if (n.starts_with("xl/")) Excel = true;
        else if (n.starts_with("ppt/")) PowerPoint = true;
        else if (n.starts_with("visio/")) Visio = true;
        else if (n == "META-INF/MANIFEST.MF") Manifest = true;
        else if (n == "AndroidManifest.xml") Android = true;
        else if (n == "[Content_Types].xml") Types = true;
    }
    std::string Ext() const {
        if (Mimetype == "application/epub+zip") return "epub";
        if (Mimetype.starts_with("application/vnd.oasis.opendocument.")) {
            const std::string_view k = std::string_view(Mimetype).substr(35);
            if (k == "text") return "odt";
            if (k == "spreadsheet") return "ods";
            if (k == "presentation") return "odp";
            if (k == "graphics") return "odg";
            return "odt";
        }
        if (Types && Word) return "docx";
        if (Types && Excel) return "xlsx";
        if (Types && PowerPoint) return "pptx";
        if (Types && Visio) return "vsdx";
        if (Android) return "apk";
        if (Manifest) return "jar";
        return "zip";
    }
};

// The data of an entry whose sizes follow it (bit 3): its end is where a data descriptor
// whose compressed size matches the bytes since the data began, or failing a signed one,
// the next header with an unsigned descriptor before it.
bool FindDescriptor(TCarveCursor& c, uint64_t dataStart, bool zip64, uint64_t& after) {
    c.Seek(dataStart);
    for (;;) {
        if (!c.Find('P')) return false;
        const uint64_t at = c.Pos();
        const uint8_t* p = c.Peek(24);
        if (!p) return false;
        const ByteSpan b(p, 24);
        const uint32_t sig = ReadLe32(b, 0);
        if (sig == kDescriptor) {
            const uint64_t csize = zip64 ? ReadLe64(b, 8) : ReadLe32(b, 8);
            if (csize == at - dataStart) {
                after = at + (zip64 ? 24 : 16);
                return true;
            }
        } else if ((sig == kLocal || sig == kCentral) && at >= dataStart + 12) {
            uint8_t d[12];
            c.Seek(at - (zip64 ? 20 : 12));
            if (c.Read(d, 12) && ReadLe32(ByteSpan(d, 12), 4) == at - (zip64 ? 20 : 12) - dataStart) {
                after = at;
                return true;
            }
            c.Seek(at);
        }
        c.Skip(1);
    }
}

// One member's data, stored or deflated, read from the archive a block at a time and
// checked against the size and CRC-32 its directory entry gives. Other methods and
// encrypted members cannot be unpacked here: their data has to lie inside the archive.
bool MemberChecksOut(TCarveInput& in, uint64_t dataAt, uint64_t csize, uint64_t usize, uint32_t crc, uint32_t method,
                     bool encrypted, uint64_t limit) {
    if (dataAt > limit || csize > limit - dataAt) return false;
    if (encrypted || (method != 0 && method != 8)) return true;
    if (method == 0 && csize != usize) return false;
    std::vector<uint8_t> inBuf(64 * 1024), outBuf(method == 8 ? 64 * 1024 : 0);
    z_stream z{};
    if (method == 8 && inflateInit2(&z, -MAX_WBITS) != Z_OK) return false;
    uLong sum = crc32(0L, Z_NULL, 0);
    uint64_t readAt = dataAt, left = csize, out = 0;
    bool ended = method == 0, ok = true;
    while (ok && !ended) {
        if (z.avail_in == 0) {
            if (left == 0) break;
            const size_t k = static_cast<size_t>(std::min<uint64_t>(left, inBuf.size()));
            if (in.Read(readAt, inBuf.data(), k) != k) {
                ok = false;
                break;
            }
            readAt += k;
            left -= k;
            z.next_in = inBuf.data();
            z.avail_in = static_cast<uInt>(k);
        }
        z.next_out = outBuf.data();
        z.avail_out = static_cast<uInt>(outBuf.size());
        const int r = inflate(&z, Z_NO_FLUSH);
        const size_t made = outBuf.size() - z.avail_out;
        out += made;
        // More than the directory says is as wrong as less, and must not run on unbounded.
        if (out > usize || (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR)) ok = false;
        else sum = crc32(sum, outBuf.data(), static_cast<uInt>(made));
        if (r == Z_STREAM_END) ended = true;
        else if (r == Z_BUF_ERROR && z.avail_in == 0 && left == 0) ok = false;
    }
    if (method == 8) inflateEnd(&z);
    if (method == 0) {
        for (uint64_t at = dataAt; ok && at < dataAt + csize;) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(dataAt + csize - at, inBuf.size()));
            if (in.Read(at, inBuf.data(), k) != k) ok = false;
            else sum = crc32(sum, inBuf.data(), static_cast<uInt>(k));
            at += k;
        }
        out = csize;
    }
    return ok && ended && out == usize && static_cast<uint32_t>(sum) == crc;
}

// Every member the central directory lists, at the offset it gives: a local header there
// and data that unpacks to its CRC-32. Returns the offset of the first member (by place)
// that does not check out, or the directory's start when all do.
uint64_t MembersProven(TCarveInput& in, uint64_t cdStart, uint64_t cdEnd) {
    TCarveCursor c(in, cdStart);
    uint64_t firstBad = std::numeric_limits<uint64_t>::max();
    while (c.Pos() + 46 <= cdEnd) {
        uint8_t h[46];
        if (!c.Read(h, 46)) return std::min(firstBad, cdStart);
        const ByteSpan b(h, 46);
        if (ReadLe32(b, 0) != kCentral) break;
        const uint32_t flags = ReadLe16(b, 8), method = ReadLe16(b, 10), crc = ReadLe32(b, 16);
        uint64_t csize = ReadLe32(b, 20), usize = ReadLe32(b, 24), local = ReadLe32(b, 42);
        const uint32_t nlen = ReadLe16(b, 28), xlen = ReadLe16(b, 30), clen = ReadLe16(b, 32);
        std::vector<uint8_t> extra(xlen);
        if (!c.Skip(nlen) || !c.Read(extra.data(), xlen) || !c.Skip(clen)) return std::min(firstBad, cdStart);
        // ZIP64: the fields set to all ones come from the extra field, in this order.
        for (size_t k = 0; k + 4 <= extra.size();) {
            const ByteSpan e(extra);
            const uint32_t id = ReadLe16(e, static_cast<int64_t>(k)), sz = ReadLe16(e, static_cast<int64_t>(k + 2));
            if (id == 1) {
                size_t p = k + 4;
                auto take = [&](uint64_t& v) {
                    if (v == 0xFFFFFFFF && p + 8 <= k + 4 + sz) v = ReadLe64(e, static_cast<int64_t>(p)), p += 8;
                };
                take(usize);
                take(csize);
                take(local);
            }
            k += 4 + sz;
        }
        bool good = false;
        uint8_t lh[30];
        if (local < cdStart && in.Read(local, lh, 30) == 30 && ReadLe32(ByteSpan(lh, 30), 0) == kLocal) {
            const ByteSpan l(lh, 30);
            const uint64_t dataAt = local + 30 + ReadLe16(l, 26) + ReadLe16(l, 28);
            good = MemberChecksOut(in, dataAt, csize, usize, crc, method, flags & 1, cdStart);
        }
        if (!good) firstBad = std::min(firstBad, local < cdStart ? local : 0);
    }
    return std::min(firstBad, cdStart);
}

} // namespace

// Local entries by their sizes, then the central directory, to the end record and its
// comment. Whole when the end record is reached and points back at the directory found.
TCarveHit WalkZip(TCarveInput& in) {
    TCarveCursor c(in);
    TZipKind kind;
    int entries = 0, central = 0;
    uint64_t centralStart = 0;
    uint32_t newestDos = 0;
    auto cut = [&](uint64_t at) {
        if (!entries) return TCarveHit{};
        return Ended(TCarveEnd::CutShort, std::min(at, in.Size()), kind.Ext());
    };
    for (;;) {
        const uint64_t at = c.Pos();
        uint8_t h[46];
        if (!c.Read(h, 4)) return cut(in.Size());
        const uint32_t sig = ReadLe32(ByteSpan(h, 4), 0);
        if (sig == kLocal) {
            if (central) return cut(at);
            if (!c.Read(h + 4, 26)) return cut(in.Size());
            const ByteSpan b(h, 30);
            const uint32_t flags = ReadLe16(b, 6), method = ReadLe16(b, 8), nlen = ReadLe16(b, 26),
                           xlen = ReadLe16(b, 28);
            uint64_t csize = ReadLe32(b, 18);
            if (!MethodKnown(method) || nlen == 0 || nlen > 4096 || ReadLe16(b, 4) > 63 * 256 + 255) return cut(at);
            std::string name(nlen, '\0');
            if (!c.Read(name.data(), nlen)) return cut(in.Size());
            for (unsigned char ch : name)
                if (ch < 0x20) return cut(at);
            std::vector<uint8_t> extra(xlen);
            if (!c.Read(extra.data(), xlen)) return cut(in.Size());
            bool zip64 = false;
            for (size_t k = 0; k + 4 <= extra.size();) {
                const ByteSpan e(extra);
                const uint32_t id = ReadLe16(e, static_cast<int64_t>(k)), sz = ReadLe16(e, static_cast<int64_t>(k + 2));
                if (id == 1 && sz >= 16) {
                    zip64 = true;
                    if (csize == 0xFFFFFFFF) csize = ReadLe64(e, static_cast<int64_t>(k + 12));
                }
                k += 4 + sz;
            }
            const uint32_t dos = ReadLe16(b, 12) << 16 | ReadLe16(b, 10);
            newestDos = std::max(newestDos, dos);
            kind.Name(name);
            const uint64_t dataStart = c.Pos();
            if (entries == 0 && name == "mimetype" && method == 0 && csize > 0 && csize < 100) {
                kind.Mimetype.resize(csize);
                if (!c.Read(kind.Mimetype.data(), csize)) return cut(in.Size());
            }
            ++entries;
            if ((flags & 8) && csize == 0) {
                uint64_t after = 0;
                if (!FindDescriptor(c, dataStart, zip64, after)) return cut(in.Size());
                c.Seek(after);
            } else {
                c.Seek(dataStart);
                if (!c.Skip(csize)) return cut(in.Size());
                if (flags & 8) {
                    // A descriptor follows, with or without its signature.
                    uint8_t d[4];
                    const uint64_t dp = c.Pos();
                    if (c.Read(d, 4) && ReadLe32(ByteSpan(d, 4), 0) == kDescriptor) c.Seek(dp + (zip64 ? 24 : 16));
                    else c.Seek(dp + (zip64 ? 20 : 12));
                }
            }
        } else if (sig == kCentral) {
            if (!entries) return {};
            if (!central) centralStart = at;
            if (!c.Read(h + 4, 42)) return cut(in.Size());
            const ByteSpan b(h, 46);
            ++central;
            if (!c.Skip(uint64_t{ReadLe16(b, 28)} + ReadLe16(b, 30) + ReadLe16(b, 32))) return cut(in.Size());
        } else if (sig == kEnd64 || sig == kLocator64 || sig == kSignature) {
            uint8_t s[8];
            if (!c.Read(s, sig == kSignature ? 2 : 8)) return cut(in.Size());
            const uint64_t skip = sig == kEnd64 ? ReadLe64(ByteSpan(s, 8), 0) : sig == kLocator64 ? 12 : ReadLe16(ByteSpan(s, 2), 0);
            if (!c.Skip(skip)) return cut(in.Size());
        } else if (sig == kEnd) {
            if (!entries) return {};
            if (!c.Read(h + 4, 18)) return cut(in.Size());
            const ByteSpan b(h, 22);
            const uint32_t cdSize = ReadLe32(b, 12), cdOffset = ReadLe32(b, 16);
            if (!c.Skip(ReadLe16(b, 20))) return cut(in.Size());
            // A directory that is not where the end record says (or none at all) means the
            // archive is not what was walked.
            const bool agrees = central > 0 && (cdOffset == 0xFFFFFFFF || (cdOffset == centralStart && cdSize <= at - centralStart));
            TCarveHit hit = Ended(agrees ? TCarveEnd::Complete : TCarveEnd::CutShort, c.Pos(), kind.Ext());
            if (agrees) {
                // The structure holds; whether the members' bytes are their own only their CRCs say.
                const uint64_t proven = MembersProven(in, centralStart, at);
                if (proven < centralStart) {
                    hit.End = TCarveEnd::Damaged;
                    hit.ProvenBytes = proven;
                }
            }
            if (newestDos) {
                const int y = 1980 + (newestDos >> 25), mo = (newestDos >> 21) & 15, d = (newestDos >> 16) & 31;
                if (mo >= 1 && mo <= 12 && d >= 1)
                    hit.ModDate = MakeDateTime(y, mo, d, (newestDos >> 11) & 31, (newestDos >> 5) & 63, (newestDos & 31) * 2),
                    hit.HasModDate = true;
            }
            return hit;
        } else {
            return cut(at);
        }
    }
}

} // namespace brivo::carve
