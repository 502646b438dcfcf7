#include <algorithm>
#include <csetjmp>
#include <cstdio>
#include <cstring>

#include <jerror.h>
#include <jpeglib.h>

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

// The decoder's view of the candidate: its first `end` bytes, a block at a time, then an end
// mark it did not find, with the warning that the data ran out.
struct TJpegSource {
    jpeg_source_mgr Pub;
    TCarveInput* In;
    uint64_t Pos, End;  // the next byte to hand over; the bytes there are
    std::vector<uint8_t> Buf;
    bool RanOut;
};

// Every warning is a sign of damage but the few about metadata the picture does not need.
struct TJpegErrors {
    jpeg_error_mgr Pub;
    std::jmp_buf Jump;
    int Warnings;
    uint64_t FirstWarningAt;  // where the decoder had read to when the first one came
};

TJpegSource& SourceOf(j_decompress_ptr d) { return *reinterpret_cast<TJpegSource*>(d->src); }

void SourceInit(j_decompress_ptr) {}
void SourceTerm(j_decompress_ptr) {}

boolean SourceFill(j_decompress_ptr d) {
    TJpegSource& s = SourceOf(d);
    static const JOCTET kEnd[2] = {0xFF, JPEG_EOI};
    const size_t want = static_cast<size_t>(std::min<uint64_t>(s.Buf.size(), s.End - std::min(s.Pos, s.End)));
    const size_t got = want ? s.In->Read(s.Pos, s.Buf.data(), want) : 0;
    if (got == 0) {
        s.RanOut = true;
        WARNMS(d, JWRN_JPEG_EOF);
        s.Pub.next_input_byte = kEnd;
        s.Pub.bytes_in_buffer = 2;
        return TRUE;
    }
    s.Pos += got;
    s.Pub.next_input_byte = s.Buf.data();
    s.Pub.bytes_in_buffer = got;
    return TRUE;
}

void SourceSkip(j_decompress_ptr d, long n) {
    TJpegSource& s = SourceOf(d);
    if (n <= 0) return;
    const auto k = static_cast<size_t>(n);
    if (k <= s.Pub.bytes_in_buffer) {
        s.Pub.next_input_byte += k;
        s.Pub.bytes_in_buffer -= k;
        return;
    }
    if (s.RanOut) {  // past the end: only the end mark is left
        s.Pub.bytes_in_buffer = 0;
        return;
    }
    s.Pos += k - s.Pub.bytes_in_buffer;
    s.Pub.bytes_in_buffer = 0;
}

// Where the decoder has read to, from the candidate's start.
uint64_t Consumed(j_decompress_ptr d) {
    const TJpegSource& s = SourceOf(d);
    return s.RanOut ? s.End : std::min(s.Pos, s.End) - s.Pub.bytes_in_buffer;
}

void ErrorExit(j_common_ptr c) { std::longjmp(reinterpret_cast<TJpegErrors*>(c->err)->Jump, 1); }

void EmitMessage(j_common_ptr c, int level) {
    if (level >= 0) return;  // trace output
    auto* e = reinterpret_cast<TJpegErrors*>(c->err);
    const int code = e->Pub.msg_code;
    if (code == JWRN_ADOBE_XFORM || code == JWRN_JFIF_MAJOR || code == JWRN_BOGUS_ICC) return;
    if (e->Warnings++ == 0) e->FirstWarningAt = Consumed(reinterpret_cast<j_decompress_ptr>(c));
}

void OutputMessage(j_common_ptr) {}

// Errors that say the decoder cannot read this kind of picture, not that it is broken.
bool Unsupported(int code) {
    return code == JERR_SOF_UNSUPPORTED || code == JERR_BAD_PRECISION || code == JERR_NO_BACKING_STORE ||
           code == JERR_OUT_OF_MEMORY || code == JERR_IMAGE_TOO_BIG || code == JERR_WIDTH_OVERFLOW ||
           code == JERR_NOT_COMPILED || code == JERR_ARITH_NOTIMPL || code == JERR_BAD_J_COLORSPACE ||
           code == JERR_CONVERSION_NOTIMPL;
}

// A progressive picture is held whole as coefficients while it decodes; beyond this it is
// not checked rather than let one photo take the memory.
constexpr long kDecodeMemory = 256L << 20;

// The decoding itself, apart so that nothing with a destructor lives where the decoder's
// errors jump to.
// Each decoded row at 1/8 scale (one value per block) against the one before it: how far
// apart they are on average, and where the decoder had read to.
struct TRowTrace {
    JSAMPLE* Row;
    JSAMPLE* Prev;
    size_t RowBytes;
    uint32_t* Step;  // per row, mean absolute difference to the row above, times 16
    uint64_t* At;    // per row, bytes read once it was decoded
};

void Decode(jpeg_decompress_struct& d, TJpegErrors& err, TJpegCheck& out, const TRowTrace& t) {
    if (setjmp(err.Jump)) {
        if (Unsupported(err.Pub.msg_code) && out.Rows == 0) out.Ran = false;
        return;
    }
    out.Ran = true;
    if (jpeg_read_header(&d, TRUE) != JPEG_HEADER_OK) return;
    d.scale_num = 1;
    d.scale_denom = 8;
    d.dct_method = JDCT_IFAST;
    d.do_fancy_upsampling = FALSE;
    d.do_block_smoothing = FALSE;
    d.mem->max_memory_to_use = kDecodeMemory;
    jpeg_calc_output_dimensions(&d);
    const size_t width = static_cast<size_t>(d.output_width) * static_cast<size_t>(d.output_components);
    if (width > t.RowBytes || width == 0) {
        out.Ran = false;
        return;
    }
    jpeg_start_decompress(&d);
    out.Rows = d.output_height;
    // A progressive picture is read whole here, scan after scan: a warning cannot be placed
    // in a row, only in the bytes.
    if (err.Warnings) {
        out.ProvenBytes = err.FirstWarningAt;
        out.Rows = 0;
        return;
    }
    out.ProvenBytes = Consumed(&d);
    while (d.output_scanline < d.output_height) {
        JSAMPROW rows[1] = {t.Row};
        if (jpeg_read_scanlines(&d, rows, 1) != 1 || err.Warnings) return;
        const uint32_t y = d.output_scanline - 1;
        uint64_t sum = 0;
        for (size_t x = 0; x < width; ++x) sum += static_cast<uint64_t>(std::abs(int{t.Row[x]} - int{t.Prev[x]}));
        t.Step[y] = y ? static_cast<uint32_t>(sum * 16 / width) : 0;
        std::memcpy(t.Prev, t.Row, width);
        out.RowsClean = d.output_scanline;
        out.ProvenBytes = t.At[y] = Consumed(&d);
    }
    jpeg_finish_decompress(&d);
    if (err.Warnings) return;
    out.Clean = true;
    out.ProvenBytes = Consumed(&d);
}

// The output rows (1 on) that jump from the row above far beyond how the rows before them
// do, from the first on; each is called once, up to `most` of them.
std::vector<uint32_t> JumpRows(const std::vector<uint32_t>& step, uint32_t rows, size_t most) {
    std::vector<uint32_t> seen, out;
    for (uint32_t y = 1; y < rows && out.size() < most; ++y) {
        if (seen.size() >= 4) {
            const uint32_t median = seen[seen.size() / 2];
            if (step[y] > 4 * std::max<uint32_t>(median, 16)) {
                out.push_back(y);
                continue;
            }
        }
        seen.insert(std::upper_bound(seen.begin(), seen.end(), step[y]), step[y]);
    }
    return out;
}

// Data from elsewhere often decodes without a warning for a while: the decoder only
// complains once the count of blocks, a restart marker or the end mark no longer fits.
// The rows it made of that data stand out from the picture's own, a jump from the row
// above far beyond the picture's usual; the first such row is where the damage starts,
// if it comes before the warning. Either way the block row before it is the last taken as
// the picture's own, for the bad data may begin anywhere inside the one that looked fine.
void Localise(TJpegCheck& out, const std::vector<uint32_t>& step, const std::vector<uint64_t>& at, uint32_t perBlockRow) {
    const std::vector<uint32_t> jumps = JumpRows(step, out.RowsClean, 1);
    const uint32_t bad = jumps.empty() ? out.RowsClean : jumps[0];
    // Back to the start of the damaged row's block row, then one block row more.
    const uint32_t keep = bad / perBlockRow * perBlockRow;
    const uint32_t clean = keep >= perBlockRow ? keep - perBlockRow : 0;
    out.RowsClean = clean;
    out.ProvenBytes = clean ? std::min(out.ProvenBytes, at[clean - 1]) : 0;
}

} // namespace

TJpegCheck CheckJpeg(TCarveInput& in, uint64_t length) {
    TJpegCheck out;
    jpeg_decompress_struct d{};
    TJpegErrors err{};
    jpeg_std_error(&err.Pub);
    err.Pub.error_exit = ErrorExit;
    err.Pub.emit_message = EmitMessage;
    err.Pub.output_message = OutputMessage;
    d.err = &err.Pub;
    jpeg_create_decompress(&d);
    TJpegSource src{};
    src.Pub.init_source = SourceInit;
    src.Pub.fill_input_buffer = SourceFill;
    src.Pub.skip_input_data = SourceSkip;
    src.Pub.resync_to_restart = jpeg_resync_to_restart;
    src.Pub.term_source = SourceTerm;
    src.In = &in;
    src.End = std::min(length, in.Size());
    src.Buf.resize(64 * 1024);
    d.src = &src.Pub;
    // One row at 1/8 scale of the widest picture the format allows, in up to four channels.
    const size_t rowBytes = 65535 / 8 * 4 + 64, maxRows = 65535 / 8 + 2;
    std::vector<JSAMPLE> row(rowBytes), prev(rowBytes);
    std::vector<uint32_t> step(maxRows);
    std::vector<uint64_t> at(maxRows);
    Decode(d, err, out, TRowTrace{row.data(), prev.data(), rowBytes, step.data(), at.data()});
    if (out.Clean) {
        const std::vector<uint32_t> jumps = JumpRows(step, out.RowsClean, 8);
        out.JumpRows = static_cast<uint32_t>(jumps.size());
        if (!jumps.empty()) out.LastJumpAt = at[jumps.back()];
    }
    if (!out.Clean && out.RowsClean > 0) Localise(out, step, at, static_cast<uint32_t>(std::max(d.max_v_samp_factor, 1)));
    jpeg_destroy_decompress(&d);
    out.ProvenBytes = std::min(out.ProvenBytes, src.End);
    return out;
}

namespace {

// Segments by their lengths up to each scan, the entropy-coded data byte by byte to the
// marker that ends it, and so on to EOI. A thumbnail inside APP1 is skipped with its
// segment, so its own EOI never ends the picture.
TCarveHit WalkMarkers(TCarveInput& in) {
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

// The candidate with a run of zeroed sectors taken for coded data while it is shorter than a
// flat picture's, up to a bound; another file's start still ends it.
class TWithoutEnds : public TCarveInput {
public:
    TWithoutEnds(TCarveInput& in, uint64_t size) : in_(in), size_(size) {}
    uint64_t Size() const override { return size_; }
    size_t Read(uint64_t offset, uint8_t* buf, size_t n) override {
        if (offset >= size_) return 0;
        return in_.Read(offset, buf, static_cast<size_t>(std::min<uint64_t>(n, size_ - offset)));
    }
    bool EndsHere(uint64_t offset) override {
        uint8_t s[512];
        const size_t got = Read(offset, s, sizeof s);
        if (got < 64) return true;
        if (std::any_of(s, s + got, [](uint8_t b) { return b != 0; })) return in_.EndsHere(offset);
        if (offset != zerosEnd_) zerosFrom_ = offset;
        zerosEnd_ = offset + 512;
        return zerosEnd_ - zerosFrom_ > kLongestZeros;
    }

private:
    static constexpr uint64_t kLongestZeros = 64 * 1024;
    TCarveInput& in_;
    uint64_t size_;
    uint64_t zerosFrom_ = 0, zerosEnd_ = 0;
};

constexpr uint64_t kLookPastEnds = 32u << 20;

} // namespace

// The markers give the picture's extent; only decoding shows that the coded data between
// them is this picture's own, for data from elsewhere (a gap between two pieces, another
// file's clusters) walks as well as any.
TCarveHit WalkJpeg(TCarveInput& in) {
    TCarveHit h = WalkMarkers(in);
    if (h.End == TCarveEnd::NotFile) return h;
    h.ProvenBytes = h.Length;
    const TJpegCheck k = CheckJpeg(in, h.Length);
    // A kind the decoder cannot read keeps what its markers say.
    if (!k.Ran) return h;
    if (h.End == TCarveEnd::CutShort && h.Length < in.Size()) {
        // The walk stops at a sector of zeros, yet a flat picture's coded data can hold a
        // few. Walked on past them, the picture is taken whole only when it then decodes
        // clean.
        TWithoutEnds on(in, std::min<uint64_t>(in.Size(), h.Length + kLookPastEnds));
        TCarveHit longer = WalkMarkers(on);
        if (longer.End == TCarveEnd::Complete && longer.Length > h.Length && CheckJpeg(in, longer.Length).Clean) {
            longer.ProvenBytes = longer.Length;
            longer.DecodedPercent = 100;
            return longer;
        }
    }
    h.ProvenBytes = k.Clean ? h.Length : std::min(k.ProvenBytes, h.Length);
    h.DecodedPercent = k.Clean ? 100 : k.Rows ? static_cast<int>(uint64_t{k.RowsClean} * 100 / k.Rows) : -1;
    if (h.End == TCarveEnd::Complete && !k.Clean) h.End = TCarveEnd::Damaged;
    return h;
}

} // namespace brivo::carve
