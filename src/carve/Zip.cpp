#include <cstring>
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
