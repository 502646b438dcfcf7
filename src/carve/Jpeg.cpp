#include <cstring>

#include "carve/CarveFormat.h"
#include "carve/Exif.h"

namespace brivo::carve {

namespace {

// Markers that may stand between the scans of a progressive or multi-scan picture.
bool AllowedAfterScan(int m) {
    return m == 0xC4 || m == 0xDB || m == 0xDD || m == 0xDA || m == 0xFE || m == 0xDC || (m >= 0xE0 && m <= 0xEF);
}

// Markers that may open the header: application data, tables, frame, comment.
bool AllowedInHeader(int m) {
    return (m >= 0xE0 && m <= 0xEF) || m == 0xDB || m == 0xC4 || m == 0xDD || m == 0xFE || m == 0xCC ||
           (m >= 0xC0 && m <= 0xCF && m != 0xC8);
}

} // namespace

// Segments by their lengths up to each scan, the entropy-coded data byte by byte to the
// marker that ends it, and so on to EOI. A thumbnail inside APP1 is skipped with its
// segment, so its own EOI never ends the picture.
TCarveHit WalkJpeg(TCarveInput& in) {
    TCarveCursor c(in);
    uint8_t soi[3];
    if (!c.Read(soi, 3) || soi[0] != 0xFF || soi[1] != 0xD8 || soi[2] != 0xFF) return {};
    c.Seek(2);
    TCarveHit named;
    bool haveFrame = false, haveScan = false, afterScan = false;
    int segments = 0;
    // Where the structure stops making sense: the file is cut short there once its header
    // held up; before that the start was not a picture.
    uint64_t dataFrom = 0;  // where the coded data of the last scan began
    auto broken = [&](uint64_t at) {
        if (!haveFrame) return TCarveHit{};
        // Coded data can run on for a while into another file before a byte gives it away:
        // the picture's own bytes end at the sector where that file begins, if one does.
        if (afterScan && at > dataFrom) {
            const uint64_t back = at > dataFrom + 64 * 512 ? at - 64 * 512 : dataFrom;
            for (uint64_t s = (back + 511) / 512 * 512; s < at; s += 512)
                if (in.EndsHere(s)) {
                    at = s;
                    break;
                }
        }
        TCarveHit h = named;
        h.End = TCarveEnd::CutShort;
        h.Length = std::min(at, in.Size());
        h.Ext = "jpg";
        return h;
    };
    for (;;) {
        const uint64_t markerAt = c.Pos();
        int b = c.Byte();
        if (b != 0xFF) return broken(markerAt);
        int m;
        do m = c.Byte();
        while (m == 0xFF);
        if (m < 0) return broken(in.Size());
        if (m == 0xD9) {
            if (!haveScan) return broken(markerAt);
            TCarveHit h = named;
            h.End = TCarveEnd::Complete;
            h.Length = c.Pos();
            h.Ext = "jpg";
            return h;
        }
        if (segments == 0 && !AllowedInHeader(m)) return {};
        if (afterScan && !AllowedAfterScan(m)) return broken(markerAt);
        if (!afterScan && !AllowedInHeader(m) && m != 0xDA) return broken(markerAt);
        uint8_t lb[2];
        if (!c.Read(lb, 2)) return broken(in.Size());
        const uint32_t len = uint32_t(lb[0]) << 8 | lb[1];
        if (len < 2) return broken(markerAt);
        const uint64_t segStart = c.Pos();
        ++segments;
        if (m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xCC) {
            if (len < 8) return broken(markerAt);
            haveFrame = true;
        }
        if (m == 0xE1 && segments <= 3 && named.Title.empty() && len >= 16) {
            uint8_t id[6];
            if (c.Read(id, 6) && std::memcmp(id, "Exif\0\0", 6) == 0) {
                // The EXIF block is at most 64 KiB: read it whole and name the picture from it.
                std::vector<uint8_t> block(len - 8);
                if (c.Read(block.data(), block.size())) {
                    TMemoryInput exif(block);
                    NameFromExif(exif, 0, named);
                }
            }
            c.Seek(segStart);
        }
        if (!c.Skip(len - 2)) return broken(in.Size());
        if (m != 0xDA) continue;
        if (!haveFrame) return {};
        haveScan = true;
        afterScan = true;
        dataFrom = c.Pos();
        // Entropy-coded data: 0xFF is followed by 0x00 (a stuffed byte), a restart marker or
        // fill bytes; anything else is the next marker. Restart markers count 0 to 7 round
        // and round, so one out of turn is where other data begins.
        int nextRestart = 0;
        for (;;) {
            const uint64_t from = c.Pos();
            const bool found = c.Find(0xFF);
            const uint64_t at = c.Pos();
            // Coded data has a 0xFF every few hundred bytes. A sector without one may be
            // zeroed or another file's start; only there is the sector looked at again.
            if (at - from >= 512)
                for (uint64_t s = (from + 511) / 512 * 512; s + 512 <= at; s += 512)
                    if (in.EndsHere(s)) return broken(s);
            if (!found) return broken(in.Size());
            c.Skip(1);
            int n = c.Byte();
            while (n == 0xFF) n = c.Byte();
            if (n < 0) return broken(in.Size());
            if (n == 0x00) continue;
            if (n >= 0xD0 && n <= 0xD7) {
                if (n - 0xD0 != nextRestart) return broken(at);
                nextRestart = (nextRestart + 1) & 7;
                continue;
            }
            // Leave the fill bytes in place; the segment loop reads them again.
            c.Seek(c.Pos() - 2);
            if (c.Pos() < at) c.Seek(at);
            break;
        }
    }
}

} // namespace brivo::carve
