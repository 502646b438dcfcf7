#include <zlib.h>

#include <cstring>

#include "carve/CarveFormat.h"
#include "carve/Exif.h"
#include "core/ByteReaders.h"

namespace brivo::carve {

// A deflate stream states no length: it is run through zlib, the output counted and
// checksummed then dropped, to the end of the stream, and the trailer's CRC and size must
// agree.
TCarveHit WalkGzip(TCarveInput& in) {
    TCarveCursor c(in);
    uint8_t h[10];
    if (!c.Read(h, 10) || h[0] != 0x1F || h[1] != 0x8B || h[2] != 8 || (h[3] & 0xE0)) return {};
    const uint8_t flags = h[3];
    TCarveHit hit;
    hit.Ext = "gz";
    const uint32_t mtime = h[4] | h[5] << 8 | h[6] << 16 | uint32_t(h[7]) << 24;
    if (mtime) {
        hit.ModDate = static_cast<double>(mtime) / 86400.0 + 25569.0;
        hit.HasModDate = true;
    }
    if (flags & 4) {
        uint8_t x[2];
        if (!c.Read(x, 2) || !c.Skip(x[0] | x[1] << 8)) return {};
    }
    auto zstring = [&](std::string* keep) {
        for (int n = 0; n < 4096; ++n) {
            const int b = c.Byte();
            if (b <= 0) return b == 0;
            if (keep) keep->push_back(static_cast<char>(b));
        }
        return false;
    };
    std::string name;
    if ((flags & 8) && !zstring(&name)) return {};
    if ((flags & 16) && !zstring(nullptr)) return {};
    if ((flags & 2) && !c.Skip(2)) return {};
    // "report.txt.gz" keeps the name the file had when it was packed.
    if (!name.empty()) hit.Title = CleanTitle(name);

    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return {};
    struct TEnd {
        z_stream& z;
        ~TEnd() { inflateEnd(&z); }
    } endGuard{z};
    std::vector<uint8_t> src(64 * 1024), out(64 * 1024);
    uint64_t pos = c.Pos(), produced = 0;
    uLong crc = crc32(0L, Z_NULL, 0);
    bool started = false;
    for (;;) {
        const size_t got = in.Read(pos, src.data(), src.size());
        if (got == 0) {
            if (!started) return {};
            hit.End = TCarveEnd::CutShort;
            hit.Length = in.Size();
            hit.ProvenBytes = hit.Length;
            return hit;
        }
        z.next_in = src.data();
        z.avail_in = static_cast<uInt>(got);
        int rc = Z_OK;
        while (z.avail_in > 0 && rc != Z_STREAM_END) {
            z.next_out = out.data();
            z.avail_out = static_cast<uInt>(out.size());
            rc = inflate(&z, Z_NO_FLUSH);
            const size_t n = out.size() - z.avail_out;
            crc = crc32(crc, out.data(), static_cast<uInt>(n));
            produced += n;
            if (rc != Z_OK && rc != Z_STREAM_END && rc != Z_BUF_ERROR) {
                if (!started && produced == 0) return {};
                hit.End = TCarveEnd::CutShort;
                hit.Length = std::min(pos + (got - z.avail_in), in.Size());
                hit.ProvenBytes = hit.Length;
                return hit;
            }
            started = true;
            if (rc == Z_BUF_ERROR && n == 0) break;
        }
        pos += got - z.avail_in;
        if (rc == Z_STREAM_END) break;
    }
    uint8_t t[8];
    if (in.Read(pos, t, 8) != 8) {
        hit.End = TCarveEnd::CutShort;
        hit.Length = in.Size();
        hit.ProvenBytes = hit.Length;
        return hit;
    }
    const ByteSpan tb(t, 8);
    const bool ok = ReadLe32(tb, 0) == static_cast<uint32_t>(crc) && ReadLe32(tb, 4) == static_cast<uint32_t>(produced);
    hit.End = ok ? TCarveEnd::Complete : TCarveEnd::CutShort;
    hit.Length = ok ? pos + 8 : pos;
    hit.ProvenBytes = hit.Length;
    return hit;
}

} // namespace brivo::carve
