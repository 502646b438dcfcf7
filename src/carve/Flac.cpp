#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "carve/CarveFormat.h"
#include "carve/Exif.h"

namespace brivo::carve {

namespace {

uint8_t Crc8(const uint8_t* p, size_t n) {
    uint8_t crc = 0;
    for (size_t i = 0; i < n; ++i) {
        crc ^= p[i];
        for (int k = 0; k < 8; ++k) crc = static_cast<uint8_t>(crc & 0x80 ? (crc << 1) ^ 0x07 : crc << 1);
    }
    return crc;
}

const std::array<uint16_t, 256>& Crc16Table() {
    static const std::array<uint16_t, 256> table = [] {
        std::array<uint16_t, 256> t{};
        for (unsigned i = 0; i < 256; ++i) {
            uint16_t c = static_cast<uint16_t>(i << 8);
            for (int k = 0; k < 8; ++k) c = static_cast<uint16_t>(c & 0x8000 ? (c << 1) ^ 0x8005 : c << 1);
            t[i] = c;
        }
        return t;
    }();
    return table;
}

struct TStreamInfo {
    uint32_t MinFrame = 0, MaxFrame = 0, SampleRate = 0;
    unsigned Channels = 0, Bits = 0;
    uint64_t TotalSamples = 0;  // 0: the encoder did not know
};

struct TFrameHead {
    uint64_t Number = 0;  // frame number (fixed block size) or first sample (variable)
    uint32_t BlockSize = 0;
    size_t Length = 0;    // header bytes, CRC-8 included
};

// A frame header at h (up to 16 bytes readable) that agrees with the stream and whose
// CRC-8 checks.
bool ParseFrameHead(const uint8_t* h, size_t avail, bool variable, TFrameHead& f) {
    if (avail < 6 || h[0] != 0xFF || h[1] != (variable ? 0xF9 : 0xF8)) return false;
    const unsigned bs = h[2] >> 4, sr = h[2] & 0xF, ch = h[3] >> 4, ss = (h[3] >> 1) & 7;
    if (bs == 0 || sr == 15 || ch > 10 || ss == 3 || ss == 7 || (h[3] & 1)) return false;
    size_t p = 4;
    // The frame or sample number, coded like UTF-8 (up to 7 bytes).
    unsigned extra = 0;
    uint64_t n = h[p];
    if (n < 0x80) extra = 0;
    else if ((n & 0xE0) == 0xC0) extra = 1, n &= 0x1F;
    else if ((n & 0xF0) == 0xE0) extra = 2, n &= 0x0F;
    else if ((n & 0xF8) == 0xF0) extra = 3, n &= 0x07;
    else if ((n & 0xFC) == 0xF8) extra = 4, n &= 0x03;
    else if ((n & 0xFE) == 0xFC) extra = 5, n &= 0x01;
    else if (n == 0xFE && variable) extra = 6, n = 0;
    else return false;
    ++p;
    if (p + extra > avail) return false;
    for (unsigned i = 0; i < extra; ++i, ++p) {
        if ((h[p] & 0xC0) != 0x80) return false;
        n = n << 6 | (h[p] & 0x3F);
    }
    uint32_t block = 0;
    if (bs == 1) block = 192;
    else if (bs <= 5) block = 576u << (bs - 2);
    else if (bs == 6) {
        if (p + 1 > avail) return false;
        block = h[p] + 1u, p += 1;
    } else if (bs == 7) {
        if (p + 2 > avail) return false;
        block = (uint32_t(h[p]) << 8 | h[p + 1]) + 1u, p += 2;
    } else block = 256u << (bs - 8);
    if (sr == 12) p += 1;
    else if (sr == 13 || sr == 14) p += 2;
    if (p + 1 > avail || Crc8(h, p) != h[p]) return false;
    f.Number = n;
    f.BlockSize = block;
    f.Length = p + 1;
    return true;
}

// Whether a metadata block's content holds up: padding is zeros, a comment block's lengths
// fill it exactly, seek points come in order. Other blocks (an application's data, a
// picture, a cue sheet) carry nothing to check.
enum class TBlockCheck { Holds, Fails, Unchecked };
TBlockCheck CheckMetadataBlock(TCarveInput& in, unsigned type, uint64_t at, uint32_t len) {
    if (type == 2 || type == 5 || type == 6) return TBlockCheck::Unchecked;
    if (type != 1 && type != 3 && type != 4) return TBlockCheck::Unchecked;
    std::vector<uint8_t> b(std::min<uint32_t>(len, 64 * 1024));
    for (uint64_t done = 0; done < len;) {
        const size_t n = static_cast<size_t>(std::min<uint64_t>(len - done, b.size()));
        if (in.Read(at + done, b.data(), n) != n) return TBlockCheck::Fails;
        if (type == 1) {
            for (size_t i = 0; i < n; ++i)
                if (b[i]) return TBlockCheck::Fails;
        } else if (done == 0 && len > b.size()) {
            return TBlockCheck::Unchecked;  // larger than is worth walking
        } else if (type == 3) {
            if (len % 18) return TBlockCheck::Fails;
            uint64_t last = 0;
            for (size_t p = 0; p + 18 <= n; p += 18) {
                uint64_t v = 0;
                for (int i = 0; i < 8; ++i) v = v << 8 | b[p + static_cast<size_t>(i)];
                if (v == ~uint64_t{0}) continue;  // a placeholder
                if (p && v <= last) return TBlockCheck::Fails;
                last = v;
            }
        } else {
            // Each length read only where it lies inside the block.
            const auto le32 = [&](uint64_t p) -> uint64_t {
                return b[p] | b[p + 1] << 8 | b[p + 2] << 16 | uint32_t(b[p + 3]) << 24;
            };
            if (n < 8) return TBlockCheck::Fails;
            uint64_t p = 4 + le32(0);
            if (p > n - 4) return TBlockCheck::Fails;
            const uint64_t count = le32(p);
            p += 4;
            for (uint64_t i = 0; i < count; ++i) {
                if (p > n - 4) return TBlockCheck::Fails;
                p += 4 + le32(p);
            }
            if (p != n) return TBlockCheck::Fails;
        }
        done += n;
    }
    return TBlockCheck::Holds;
}

void NameFromComments(TCarveInput& in, uint64_t at, uint32_t len, std::string& title) {
    if (len < 8) return;
    std::vector<uint8_t> b(std::min<uint32_t>(len, 64 * 1024));
    b.resize(in.Read(at, b.data(), b.size()));
    const auto le32 = [&](size_t p) -> uint64_t {
        return p + 4 <= b.size() ? (b[p] | b[p + 1] << 8 | b[p + 2] << 16 | uint32_t(b[p + 3]) << 24) : ~uint64_t{0};
    };
    if (le32(0) > b.size()) return;
    uint64_t p = 4 + le32(0);
    const uint64_t count = le32(p);
    p += 4;
    std::string name, artist;
    for (uint64_t i = 0; i < count && p + 4 <= b.size(); ++i) {
        const uint64_t n = le32(p);
        if (n > b.size() - p - 4) break;
        const std::string kv(b.begin() + static_cast<std::ptrdiff_t>(p + 4), b.begin() + static_cast<std::ptrdiff_t>(p + 4 + n));
        const size_t eq = kv.find('=');
        std::string key = kv.substr(0, eq);
        for (char& ch : key) ch = static_cast<char>(ch >= 'a' && ch <= 'z' ? ch - 32 : ch);
        if (eq != std::string::npos && key == "TITLE" && name.empty()) name = kv.substr(eq + 1);
        if (eq != std::string::npos && key == "ARTIST" && artist.empty()) artist = kv.substr(eq + 1);
        p += 4 + n;
    }
    if (!name.empty()) title = CleanTitle(artist.empty() ? name : artist + " - " + name);
}

} // namespace

// "fLaC", the metadata blocks (STREAMINFO first, the last one flagged), then the audio
// frames. A frame carries no length: its end is where the next frame's header begins, a
// header recognised by its sync code, its CRC-8 and the frame number that must come next;
// the frame's own CRC-16 then says whether its bytes are whole. The sample count in
// STREAMINFO says which frame is the last; that one ends where its CRC-16 checks.
TCarveHit WalkFlac(TCarveInput& in) {
    uint8_t b[42];
    if (in.Read(0, b, 42) != 42 || std::memcmp(b, "fLaC", 4) != 0 || (b[4] & 0x7F) != 0 ||
        (uint32_t(b[5]) << 16 | b[6] << 8 | b[7]) != 34)
        return {};
    TStreamInfo si;
    const uint8_t* s = b + 8;
    const uint32_t minBlock = uint32_t(s[0]) << 8 | s[1], maxBlock = uint32_t(s[2]) << 8 | s[3];
    si.MinFrame = uint32_t(s[4]) << 16 | s[5] << 8 | s[6];
    si.MaxFrame = uint32_t(s[7]) << 16 | s[8] << 8 | s[9];
    si.SampleRate = uint32_t(s[10]) << 12 | s[11] << 4 | s[12] >> 4;
    si.Channels = ((s[12] >> 1) & 7) + 1u;
    si.Bits = ((s[12] & 1) << 4 | s[13] >> 4) + 1u;
    si.TotalSamples = uint64_t(s[13] & 0xF) << 32 | uint32_t(s[14]) << 24 | s[15] << 16 | s[16] << 8 | s[17];
    if (minBlock < 16 || maxBlock < minBlock || si.SampleRate == 0 || (si.MaxFrame && si.MinFrame > si.MaxFrame))
        return {};

    TCarveHit hit;
    hit.Ext = "flac";
    const auto stop = [&](TCarveEnd end, uint64_t length) {
        hit.End = end;
        hit.Length = std::min(length, in.Size());
        hit.ProvenBytes = hit.Length;
        return hit;
    };
    // The metadata blocks.
    uint64_t at = 4, metaBad = UINT64_MAX, metaUnchecked = UINT64_MAX;
    for (int blocks = 0;; ++blocks) {
        uint8_t h[4];
        if (in.Read(at, h, 4) != 4) return stop(TCarveEnd::CutShort, in.Size());
        const uint32_t len = uint32_t(h[1]) << 16 | h[2] << 8 | h[3];
        const unsigned type = h[0] & 0x7F;
        if (type == 127 || (blocks > 0 && type == 0) || blocks > 1024) return stop(TCarveEnd::CutShort, at);
        if (len > in.Size() - at - 4) return stop(TCarveEnd::CutShort, in.Size());
        if (type == 4 && hit.Title.empty()) NameFromComments(in, at + 4, len, hit.Title);
        if (blocks > 0) {
            const TBlockCheck check = CheckMetadataBlock(in, type, at + 4, len);
            if (check == TBlockCheck::Fails) metaBad = std::min(metaBad, at);
            if (check == TBlockCheck::Unchecked) metaUnchecked = std::min(metaUnchecked, at);
        }
        at += 4 + len;
        if (h[0] & 0x80) break;
    }

    // No frame is longer than the largest block stored verbatim, with its headers.
    const uint64_t frameCap = si.MaxFrame ? si.MaxFrame
                                          : uint64_t{maxBlock} * si.Channels * ((si.Bits + 7) / 8 + 1) + 64;
    const auto& table = Crc16Table();
    TCarveCursor c(in, at);
    uint8_t h0[16];
    TFrameHead f;
    const size_t got0 = in.Read(at, h0, 16);
    // Fixed or variable block size comes from the first frame.
    const bool variable = got0 >= 2 && h0[1] == 0xF9;
    if (!ParseFrameHead(h0, got0, variable, f)) return stop(TCarveEnd::CutShort, at);
    uint64_t samples = 0;
    bool damaged = false;
    for (;;) {
        const uint64_t frameAt = at;
        samples += f.BlockSize;
        const bool last = si.TotalSamples && samples >= si.TotalSamples;
        const uint64_t nextNumber = variable ? f.Number + f.BlockSize : f.Number + 1;
        uint16_t crc = 0;
        uint64_t firstZero = 0;
        uint64_t next = 0;
        TFrameHead nf;
        c.Seek(frameAt);
        const uint64_t limit = frameAt + frameCap;
        const uint64_t minEnd = frameAt + std::max<uint64_t>(si.MinFrame, f.Length + 2);
        for (uint64_t p = frameAt; p <= limit; ++p) {
            if (p >= minEnd && crc == 0 && !firstZero) {
                firstZero = p;
                if (last) break;
            }
            const int v = c.Byte();
            if (v < 0) break;
            if (v == 0xFF && p > frameAt + f.Length && !last) {
                uint8_t h[16];
                const size_t got = in.Read(p, h, 16);
                if (ParseFrameHead(h, got, variable, nf) && nf.Number == nextNumber) {
                    next = p;
                    break;
                }
            }
            crc = static_cast<uint16_t>((crc << 8) ^ table[((crc >> 8) ^ static_cast<unsigned>(v)) & 0xFF]);
        }
        if (next) {
            // The next header is sure; a frame whose CRC-16 fails has damaged bytes but the
            // stream goes on.
            if (crc != 0) damaged = true;
            at = next;
            f = nf;
            continue;
        }
        if (firstZero && (last || si.TotalSamples == 0)) {
            if (si.TotalSamples == 0 && firstZero >= in.Size()) return stop(TCarveEnd::CutShort, in.Size());
            if (damaged) return stop(TCarveEnd::CutShort, firstZero);
            stop(TCarveEnd::Complete, firstZero);
            if (metaBad != UINT64_MAX) {
                hit.End = TCarveEnd::Damaged;
                hit.ProvenBytes = std::min(metaBad, metaUnchecked);
            } else if (metaUnchecked != UINT64_MAX) {
                hit = Unchecked(hit.Length, metaUnchecked, "flac");
            }
            return hit;
        }
        // Broken off: the input ends, or what follows is not this stream's next frame.
        return stop(TCarveEnd::CutShort, c.AtEnd() ? in.Size() : frameAt);
    }
}

} // namespace brivo::carve
