#include <algorithm>
#include <cctype>
#include <zlib.h>

#include <cstring>
#include <functional>
#include <limits>
#include <set>
#include <string_view>

#include "carve/CarveFormat.h"
#include "carve/Exif.h"

namespace brivo::carve {

namespace {

// After an end-of-file mark, does an incremental update follow (an object, a cross-
// reference section, a comment), or is that the end of the document?
bool UpdateFollows(TCarveInput& in, uint64_t at) {
    uint8_t b[64];
    const size_t n = in.Read(at, b, sizeof b);
    size_t i = 0;
    while (i < n && (b[i] == '\r' || b[i] == '\n' || b[i] == ' ' || b[i] == '\t')) ++i;
    if (i >= n) return false;
    const std::string_view rest(reinterpret_cast<const char*>(b) + i, n - i);
    if (rest.starts_with("xref") || rest.starts_with("trailer")) return true;
    if (rest.starts_with("%PDF")) return false;
    if (rest[0] == '%') return true;
    // "12 0 obj"
    size_t k = 0;
    while (k < rest.size() && rest[k] >= '0' && rest[k] <= '9') ++k;
    if (k == 0 || k >= rest.size() || rest[k] != ' ') return false;
    ++k;
    const size_t gen = k;
    while (k < rest.size() && rest[k] >= '0' && rest[k] <= '9') ++k;
    return k > gen && rest.substr(k).starts_with(" obj");
}

// A literal or hex string's text, UTF-16 with its byte-order mark reduced to its ASCII
// characters: enough for a file name.
std::string PdfString(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\r' || s[i] == '\n')) ++i;
    std::string raw;
    if (i < s.size() && s[i] == '(') {
        int depth = 1;
        for (++i; i < s.size() && raw.size() < 400; ++i) {
            char ch = s[i];
            if (ch == '\\' && i + 1 < s.size()) {
                ch = s[++i];
                if (ch == 'n' || ch == 'r' || ch == 't') ch = ' ';
                else if (ch >= '0' && ch <= '7') {
                    int v = 0, k = 0;
                    while (k < 3 && i < s.size() && s[i] >= '0' && s[i] <= '7') v = v * 8 + (s[i++] - '0'), ++k;
                    --i;
                    ch = static_cast<char>(v);
                }
            } else if (ch == '(') {
                ++depth;
            } else if (ch == ')' && --depth == 0) {
                break;
            }
            raw.push_back(ch);
        }
    } else if (i < s.size() && s[i] == '<') {
        auto hex = [](char ch) {
            return ch >= '0' && ch <= '9' ? ch - '0' : (ch | 0x20) >= 'a' && (ch | 0x20) <= 'f' ? (ch | 0x20) - 'a' + 10 : -1;
        };
        int hi = -1;
        for (++i; i < s.size() && s[i] != '>' && raw.size() < 400; ++i) {
            const int v = hex(s[i]);
            if (v < 0) continue;
            if (hi < 0) hi = v;
            else raw.push_back(static_cast<char>(hi * 16 + v)), hi = -1;
        }
    } else {
        return {};
    }
    if (raw.size() >= 2 && static_cast<uint8_t>(raw[0]) == 0xFE && static_cast<uint8_t>(raw[1]) == 0xFF) {
        std::string out;
        for (size_t k = 2; k + 1 < raw.size(); k += 2)
            if (raw[k] == 0 && static_cast<uint8_t>(raw[k + 1]) < 0x80) out.push_back(raw[k + 1]);
            else out.push_back('_');
        return out;
    }
    std::string out;
    for (unsigned char ch : raw) out.push_back(ch < 0x80 ? static_cast<char>(ch) : '_');
    return out;
}

bool IsSpace(uint8_t ch) { return ch == ' ' || ch == '\r' || ch == '\n' || ch == '\t' || ch == '\f' || ch == 0; }
bool IsDigit(int ch) { return ch >= '0' && ch <= '9'; }

// Reads a decimal number at the cursor after any white space; false when there is none
// or it is too long to be an offset.
bool Number(TCarveCursor& c, uint64_t& v) {
    int ch = c.Byte();
    while (ch >= 0 && IsSpace(static_cast<uint8_t>(ch))) ch = c.Byte();
    if (!IsDigit(ch)) {
        if (ch >= 0) c.Seek(c.Pos() - 1);
        return false;
    }
    v = 0;
    int digits = 0;
    for (; IsDigit(ch); ch = c.Byte()) {
        if (++digits > 15) return false;
        v = v * 10 + static_cast<uint64_t>(ch - '0');
    }
    if (ch >= 0) c.Seek(c.Pos() - 1);
    return true;
}

// "num gen obj" where a cross-reference entry says the object starts; a writer may leave
// white space before it.
bool ObjectAt(TCarveInput& in, uint64_t at, uint64_t num, uint64_t end) {
    if (at >= end) return false;
    TCarveCursor c(in, at, 64);
    uint64_t n = 0, g = 0;
    if (!Number(c, n) || n != num || !Number(c, g)) return false;
    uint8_t w[4] = {};
    int ch = c.Byte();
    if (ch < 0 || !IsSpace(static_cast<uint8_t>(ch))) return false;
    while (ch >= 0 && IsSpace(static_cast<uint8_t>(ch))) ch = c.Byte();
    w[0] = static_cast<uint8_t>(ch);
    return c.Read(w + 1, 2) && std::memcmp(w, "obj", 3) == 0 && c.Pos() <= end;
}

// The integers after a key of a dictionary's text: one ("/Size 20") or an array's
// ("/W [1 2 1]"); empty when the key is not there.
std::vector<uint64_t> Integers(std::string_view dict, std::string_view key) {
    std::vector<uint64_t> out;
    size_t k = dict.find(key);
    while (k != std::string_view::npos && k + key.size() < dict.size() &&
           (std::isalnum(static_cast<unsigned char>(dict[k + key.size()])) != 0))
        k = dict.find(key, k + 1);
    if (k == std::string_view::npos) return out;
    size_t i = k + key.size();
    while (i < dict.size() && IsSpace(static_cast<uint8_t>(dict[i]))) ++i;
    const bool array = i < dict.size() && dict[i] == '[';
    if (array) ++i;
    while (i < dict.size() && out.size() < 4096) {
        while (i < dict.size() && IsSpace(static_cast<uint8_t>(dict[i]))) ++i;
        if (i >= dict.size() || !IsDigit(dict[i])) break;
        uint64_t v = 0;
        for (int d = 0; i < dict.size() && IsDigit(dict[i]) && d < 15; ++i, ++d) v = v * 10 + static_cast<uint64_t>(dict[i] - '0');
        out.push_back(v);
        if (!array) break;
    }
    return out;
}

// A cross-reference stream (PDF 1.5 on): its rows inflated and unfiltered, each object it
// places in the file handed to place. False when it cannot be read at all.
bool XrefStream(TCarveInput& in, uint64_t at, uint64_t end, const TPdfPlace& place) {
    std::string head(4096, '\0');
    head.resize(in.Read(at, reinterpret_cast<uint8_t*>(head.data()), head.size()));
    const size_t st = head.find("stream");
    if (st == std::string::npos) return false;
    const std::string_view dict(head.data(), st);
    if (dict.find("/XRef") == std::string_view::npos) return false;
    // Other filters cannot be undone here: the stream's own place is all that is checked.
    const size_t filter = dict.find("/Filter");
    if (filter != std::string_view::npos && dict.find("/FlateDecode") == std::string_view::npos) return true;
    const auto w = Integers(dict, "/W");
    const auto size = Integers(dict, "/Size");
    if (w.size() != 3 || size.empty() || w[0] > 8 || w[1] > 8 || w[2] > 8) return false;
    auto index = Integers(dict, "/Index");
    if (index.empty()) index = {0, size[0]};
    const auto predictor = Integers(dict, "/Predictor"), columns = Integers(dict, "/Columns");
    const size_t rowLen = static_cast<size_t>(w[0] + w[1] + w[2]);
    const bool png = !predictor.empty() && predictor[0] >= 10;
    if (rowLen == 0 || (png && !columns.empty() && columns[0] != rowLen)) return false;
    uint64_t rows = 0;
    for (size_t i = 1; i < index.size(); i += 2) rows += index[i];
    if (rows > (4u << 20)) return false;
    const size_t stride = rowLen + (png ? 1 : 0);
    std::vector<uint8_t> data(static_cast<size_t>(rows) * stride);
    uint64_t from = at + st + 6;
    uint8_t eol[2] = {};
    in.Read(from, eol, 2);
    from += eol[0] == '\r' && eol[1] == '\n' ? 2 : eol[0] == '\n' || eol[0] == '\r' ? 1 : 0;
    if (filter == std::string_view::npos) {
        if (in.Read(from, data.data(), data.size()) != data.size()) return false;
    } else {
        z_stream z{};
        if (inflateInit(&z) != Z_OK) return false;
        std::vector<uint8_t> buf(16 * 1024);
        z.next_out = data.data();
        z.avail_out = static_cast<uInt>(data.size());
        int r = Z_OK;
        while (r == Z_OK && z.avail_out > 0 && from < end) {
            const size_t got = in.Read(from, buf.data(), static_cast<size_t>(std::min<uint64_t>(buf.size(), end - from)));
            if (got == 0) break;
            from += got;
            z.next_in = buf.data();
            z.avail_in = static_cast<uInt>(got);
            r = inflate(&z, Z_NO_FLUSH);
            if (r == Z_BUF_ERROR && z.avail_out > 0) r = Z_OK;
        }
        const bool full = z.avail_out == 0;
        inflateEnd(&z);
        if (!full) return false;
    }
    // PNG row filters, one byte per sample.
    std::vector<uint8_t> prev(rowLen, 0), row(rowLen);
    uint64_t entry = 0;
    for (size_t i = 0; i + 1 < index.size(); i += 2)
        for (uint64_t k = 0; k < index[i + 1]; ++k, ++entry) {
            const uint8_t* p = data.data() + entry * stride;
            if (png) {
                const uint8_t f = p[0];
                for (size_t x = 0; x < rowLen; ++x) {
                    const int a = x ? row[x - 1] : 0, b = prev[x], c = x ? prev[x - 1] : 0;
                    int v = p[1 + x];
                    if (f == 1) v += a;
                    else if (f == 2) v += b;
                    else if (f == 3) v += (a + b) / 2;
                    else if (f == 4) {
                        const int pa = std::abs(b - c), pb = std::abs(a - c), pc = std::abs(a + b - 2 * c);
                        v += pa <= pb && pa <= pc ? a : pb <= pc ? b : c;
                    } else if (f != 0) return false;
                    row[x] = static_cast<uint8_t>(v);
                }
                prev = row;
            } else {
                std::memcpy(row.data(), p, rowLen);
            }
            auto field = [&](size_t off, uint64_t n) {
                uint64_t v = 0;
                for (uint64_t j = 0; j < n; ++j) v = v << 8 | row[off + j];
                return v;
            };
            const uint64_t type = w[0] ? field(0, w[0]) : 1;
            const uint64_t off = field(static_cast<size_t>(w[0]), w[1]);
            if (type == 1) place(index[i] + k, off);
        }
    return true;
}

} // namespace

bool PdfObjectAt(TCarveInput& in, uint64_t at, uint64_t num, uint64_t end) { return ObjectAt(in, at, num, end); }

// The offset after "startxref" near the document's end; false when there is none.
bool PdfStartXref(TCarveInput& in, uint64_t end, uint64_t& at) {
    const uint64_t from = end > 1024 ? end - 1024 : 0;
    std::string tail(static_cast<size_t>(end - from), '\0');
    tail.resize(in.Read(from, reinterpret_cast<uint8_t*>(tail.data()), tail.size()));
    const size_t k = tail.rfind("startxref");
    if (k == std::string::npos) return false;
    TCarveCursor c(in, from + k + 9, 64);
    return Number(c, at);
}

bool ReadPdfXref(TCarveInput& in, uint64_t at, uint64_t end, const TPdfPlace& place, uint64_t& prev,
                 uint64_t& budget) {
    prev = ~uint64_t{0};
    if (at >= end) return false;
    TCarveCursor c(in, at);
    uint8_t word[4];
    if (!c.Read(word, 4)) return false;
    if (std::memcmp(word, "xref", 4) != 0) {
        // A stream: "n g obj" with /Type /XRef in its dictionary.
        c.Seek(at);
        uint64_t n = 0;
        if (!Number(c, n) || !ObjectAt(in, at, n, end) || !XrefStream(in, at, end, place)) return false;
        std::string dict(512, '\0');
        dict.resize(in.Read(at, reinterpret_cast<uint8_t*>(dict.data()), dict.size()));
        const size_t p = dict.find("/Prev");
        if (p == std::string::npos) return true;
        TCarveCursor pc(in, at + p + 5, 64);
        uint64_t v = 0;
        if (Number(pc, v)) prev = v;
        return true;
    }
    // Subsections "first count", each entry "offset generation n|f".
    for (;;) {
        uint64_t first = 0, count = 0;
        const uint64_t here = c.Pos();
        if (!Number(c, first)) {
            c.Seek(here);
            break;
        }
        if (!Number(c, count) || count > budget) return false;
        budget -= count;
        for (uint64_t i = 0; i < count; ++i) {
            uint64_t off = 0, gen = 0;
            if (!Number(c, off) || !Number(c, gen)) return false;
            int kind = c.Byte();
            while (kind >= 0 && IsSpace(static_cast<uint8_t>(kind))) kind = c.Byte();
            if (kind != 'n' && kind != 'f') return false;
            if (kind == 'n') place(first + i, off);
        }
    }
    std::string trailer(2048, '\0');
    trailer.resize(in.Read(c.Pos(), reinterpret_cast<uint8_t*>(trailer.data()), trailer.size()));
    const size_t t = trailer.find("trailer");
    if (t == std::string::npos) return false;
    const size_t stop = std::min(trailer.find("startxref", t), trailer.size());
    const size_t p = trailer.find("/Prev", t);
    if (p == std::string::npos || p > stop) return true;
    TCarveCursor pc(in, c.Pos() + p + 5, 64);
    uint64_t v = 0;
    if (Number(pc, v)) prev = v;
    return true;
}

namespace {

// Every object a cross-reference table lists in use, at the offset it gives, back through
// the earlier tables of incremental updates, in either form (a table, or a stream). Returns
// the offset of the first object (by place) that is not there, or end when all are.
uint64_t FirstMissingObject(TCarveInput& in, uint64_t end) {
    uint64_t xref = 0;
    if (!PdfStartXref(in, end, xref)) return 0;
    uint64_t firstBad = end;
    std::set<uint64_t> seen;
    uint64_t budget = kPdfMaxXrefEntries;
    while (seen.insert(xref).second && seen.size() <= 256) {
        uint64_t prev = 0;
        const uint64_t section = xref;
        const bool read = ReadPdfXref(in, section, end, [&](uint64_t num, uint64_t off) {
            if (!ObjectAt(in, off, num, end)) firstBad = std::min(firstBad, std::min(off, section));
        }, prev, budget);
        if (!read) return std::min(firstBad, section);
        if (prev == ~uint64_t{0}) break;
        xref = prev;
    }
    return firstBad;
}

} // namespace

// A PDF has no length field: its end is the last "%%EOF" of its incremental updates. The
// bytes are scanned forward to that mark, and past it only while another update follows;
// a zeroed sector or the start of another file ends a PDF that never reaches its mark.
TCarveHit WalkPdf(TCarveInput& in) {
    uint8_t h[8];
    if (in.Read(0, h, 8) != 8 || std::memcmp(h, "%PDF-", 5) != 0 || (h[5] != '1' && h[5] != '2') || h[6] != '.')
        return {};
    constexpr size_t kWin = 256 * 1024, kKeep = 1024;
    std::vector<uint8_t> buf(kWin + kKeep);
    uint64_t winStart = 0;  // offset of buf[0]
    size_t have = 0;
    uint64_t scanned = 0;   // bytes before this are searched
    uint64_t nextSector = 512;
    std::string title;
    for (;;) {
        // Slide: keep the tail so a mark split between reads is still seen.
        if (have > kKeep) {
            std::memmove(buf.data(), buf.data() + have - kKeep, kKeep);
            winStart += have - kKeep;
            have = kKeep;
        }
        const size_t got = in.Read(winStart + have, buf.data() + have, kWin);
        if (got == 0) return Ended(TCarveEnd::CutShort, in.Size(), "pdf");
        have += got;
        const uint64_t winEnd = winStart + have;
        // Sectors that begin inside the new bytes: the document cannot run past one that is
        // blank or belongs to another file.
        uint64_t limit = winEnd;
        for (; nextSector < winEnd; nextSector += 512)
            if (in.EndsHere(nextSector)) {
                limit = nextSector;
                break;
            }
        const std::string_view text(reinterpret_cast<const char*>(buf.data()), static_cast<size_t>(limit - winStart));
        if (title.empty()) {
            const size_t t = text.find("/Title");
            // Near the window's end the string may be cut; the title is capped well below that.
            if (t != std::string_view::npos) title = PdfString(text.substr(t + 6, 500));
        }
        size_t from = static_cast<size_t>(scanned > winStart ? scanned - winStart : 0);
        for (;;) {
            const size_t e = text.find("%%EOF", from);
            if (e == std::string_view::npos) break;
            uint64_t end = winStart + e + 5;
            uint8_t eol[2] = {};
            const size_t n = in.Read(end, eol, 2);
            if (n >= 1 && eol[0] == '\r') end += (n == 2 && eol[1] == '\n') ? 2 : 1;
            else if (n >= 1 && eol[0] == '\n') end += 1;
            if (!UpdateFollows(in, end) || (limit < winEnd && end >= limit)) {
                TCarveHit hit = Ended(TCarveEnd::Complete, std::min(end, in.Size()), "pdf");
                hit.Title = CleanTitle(title);
                // The end mark is there; the body is the document's own where its
                // cross-reference tables find every object in place.
                const uint64_t proven = FirstMissingObject(in, hit.Length);
                if (proven < hit.Length) {
                    hit.End = TCarveEnd::Damaged;
                    hit.ProvenBytes = proven;
                }
                return hit;
            }
            from = e + 5;
        }
        if (limit < winEnd) return Ended(TCarveEnd::CutShort, limit, "pdf");
        scanned = winEnd >= 4 ? winEnd - 4 : 0;
    }
}

// RTF: braces balanced to the group that opened the document. Escaped braces do not count.
TCarveHit WalkRtf(TCarveInput& in) {
    TCarveCursor c(in);
    uint8_t h[6];
    if (!c.Read(h, 5) || std::memcmp(h, "{\\rtf", 5) != 0) return {};
    int64_t depth = 1;
    uint64_t nextSector = 512;
    for (;;) {
        const uint8_t* p = c.Peek(1);
        if (!p) return Ended(TCarveEnd::CutShort, in.Size(), "rtf");
        if (c.Pos() >= nextSector) {
            if (in.EndsHere(nextSector)) return Ended(TCarveEnd::CutShort, nextSector, "rtf");
            nextSector += 512;
        }
        const int b = c.Byte();
        if (b == '\\') {
            c.Byte();
        } else if (b == '{') {
            ++depth;
        } else if (b == '}') {
            if (--depth == 0) return Ended(TCarveEnd::Complete, c.Pos(), "rtf");
        } else if (b == 0) {
            return Ended(TCarveEnd::CutShort, c.Pos() - 1, "rtf");
        }
    }
}

} // namespace brivo::carve
