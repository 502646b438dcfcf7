#include "carve/JpegEntropy.h"

#include <algorithm>
#include <cstdlib>

namespace brivo::carve {

namespace {

// The canonical code of a table, built as the standard lays it out (lengths 1 to 16,
// codes counted up within a length). A table whose counts overflow its code space is no
// table an encoder wrote.
bool BuildTable(const uint8_t* counts, const uint8_t* values, size_t nValues, TJpegScan::TTable& t) {
    int32_t code = 0;
    size_t k = 0;
    for (int l = 1; l <= 16; ++l) {
        t.ValPtr[l] = static_cast<int32_t>(k);
        t.MinCode[l] = code;
        code += counts[l - 1];
        k += counts[l - 1];
        if (code > (1 << l) || k > nValues) return false;
        t.MaxCode[l] = counts[l - 1] ? code - 1 : -1;
        code <<= 1;
    }
    t.MaxCode[17] = 0x7FFFFFFF;
    for (size_t i = 0; i < k; ++i) t.Values[i] = values[i];
    t.Look.fill(0);
    for (int l = 1; l <= 8; ++l)
        for (int32_t v = t.MinCode[l]; v <= t.MaxCode[l]; ++v) {
            const int32_t i = t.ValPtr[l] + v - t.MinCode[l];
            for (int32_t x = 0; x < (1 << (8 - l)); ++x)
                t.Look[static_cast<size_t>(v << (8 - l) | x)] = static_cast<uint16_t>(l << 8 | t.Values[static_cast<size_t>(i)]);
        }
    t.Present = true;
    return true;
}

struct TFrameComp {
    uint8_t Id = 0, H = 1, V = 1;
};

uint32_t CeilDiv(uint32_t a, uint32_t b) { return (a + b - 1) / b; }

} // namespace

bool ReadJpegScan(TCarveInput& in, TJpegScan& scan) {
    TCarveCursor c(in, 0, 16 * 1024);
    uint8_t soi[2];
    if (!c.Read(soi, 2) || soi[0] != 0xFF || soi[1] != 0xD8) return false;
    std::vector<TFrameComp> frame;
    uint32_t width = 0, height = 0;
    std::vector<uint8_t> segBuf(65536);
    uint8_t* seg = segBuf.data();
    for (int segments = 0; segments < 1000; ++segments) {
        int b = c.Byte();
        if (b != 0xFF) return false;
        int m;
        do m = c.Byte();
        while (m == 0xFF);
        if (m < 0 || m == 0xD9 || m == 0x01 || (m >= 0xD0 && m <= 0xD8)) return false;
        uint8_t lb[2];
        if (!c.Read(lb, 2)) return false;
        const uint32_t len = uint32_t(lb[0]) << 8 | lb[1];
        if (len < 2 || !c.Read(seg, len - 2)) return false;
        const uint32_t n = len - 2;
        if (m == 0xC0 || m == 0xC1) {
            if (n < 6 || seg[0] != 8 || !frame.empty()) return false;
            height = uint32_t(seg[1]) << 8 | seg[2];
            width = uint32_t(seg[3]) << 8 | seg[4];
            const uint32_t nf = seg[5];
            if (width == 0 || height == 0 || nf == 0 || nf > 4 || n < 6 + 3 * nf) return false;
            for (uint32_t i = 0; i < nf; ++i) {
                TFrameComp fc;
                fc.Id = seg[6 + 3 * i];
                fc.H = seg[7 + 3 * i] >> 4;
                fc.V = seg[7 + 3 * i] & 15;
                if (fc.H < 1 || fc.H > 4 || fc.V < 1 || fc.V > 4) return false;
                frame.push_back(fc);
            }
        } else if ((m >= 0xC2 && m <= 0xCF && m != 0xC4 && m != 0xCC && m != 0xC8)) {
            return false;  // progressive, lossless or arithmetic coded
        } else if (m == 0xC4) {
            for (uint32_t p = 0; p < n;) {
                if (n - p < 17) return false;
                const uint8_t tc = seg[p] >> 4, th = seg[p] & 15;
                if (tc > 1 || th > 3) return false;
                size_t total = 0;
                for (int i = 0; i < 16; ++i) total += seg[p + 1 + i];
                if (total > 256 || n - p - 17 < total) return false;
                if (!BuildTable(seg + p + 1, seg + p + 17, total, tc ? scan.Ac[th] : scan.Dc[th])) return false;
                p += 17 + static_cast<uint32_t>(total);
            }
        } else if (m == 0xDD) {
            if (n < 2) return false;
            scan.Restart = uint32_t(seg[0]) << 8 | seg[1];
        } else if (m == 0xDA) {
            if (frame.empty() || n < 1) return false;
            const uint32_t ns = seg[0];
            if (ns != frame.size() || n < 1 + 2 * ns + 3) return false;
            uint8_t hmax = 1, vmax = 1;
            for (const TFrameComp& fc : frame) hmax = std::max(hmax, fc.H), vmax = std::max(vmax, fc.V);
            scan.McusWide = CeilDiv(width, 8u * hmax);
            scan.McusHigh = CeilDiv(height, 8u * vmax);
            scan.Mcu.clear();
            for (uint32_t i = 0; i < ns; ++i) {
                const uint8_t id = seg[1 + 2 * i], td = seg[2 + 2 * i] >> 4, ta = seg[2 + 2 * i] & 15;
                size_t f = 0;
                while (f < frame.size() && frame[f].Id != id) ++f;
                if (f == frame.size() || td > 3 || ta > 3 || !scan.Dc[td].Present || !scan.Ac[ta].Present) return false;
                // A picture of one component codes its blocks one by one, not in MCUs.
                const uint8_t h = ns == 1 ? 1 : frame[f].H, v = ns == 1 ? 1 : frame[f].V;
                for (uint8_t y = 0; y < v; ++y)
                    for (uint8_t x = 0; x < h; ++x)
                        scan.Mcu.push_back({td, ta, static_cast<uint8_t>(i), static_cast<uint16_t>(i == 0 ? x : 0xFFFF),
                                            static_cast<uint16_t>(i == 0 ? y : 0xFFFF)});
            }
            if (ns == 1) {
                scan.McusWide = CeilDiv(CeilDiv(width * frame[0].H, hmax), 8);
                scan.McusHigh = CeilDiv(CeilDiv(height * frame[0].V, vmax), 8);
            }
            // Spectral selection 0..63, no successive approximation: a sequential scan.
            if (seg[1 + 2 * ns] != 0 || seg[2 + 2 * ns] != 63 || seg[3 + 2 * ns] != 0) return false;
            uint32_t bw = 0;
            for (const auto& blk : scan.Mcu)
                if (blk.Comp == 0) bw = std::max<uint32_t>(bw, blk.Col + 1u);
            scan.BlocksWide = scan.McusWide * bw;
            scan.DataStart = c.Pos();
            return scan.Mcus() > 0 && scan.BlocksWide <= 65536;
        }
    }
    return false;
}

TJpegState TJpegWalker::Start() const {
    TJpegState s;
    s.Pos = scan_.DataStart;
    s.Above.assign(scan_.BlocksWide, 0);
    return s;
}

bool TJpegWalker::Load(TCarveCursor& c, TJpegState& s) {
    c.Seek(s.Pos);
    const int b = c.Byte();
    s.Seen = std::max(s.Seen, s.Pos + 1);
    if (b < 0) return false;
    if (b == 0xFF) {
        // Inside an MCU only a stuffed zero may follow; a marker here is out of place.
        s.Seen = std::max(s.Seen, s.Pos + 2);
        if (c.Byte() != 0x00) return false;
        s.Pos += 2;
    } else {
        s.Pos += 1;
    }
    s.Cur = static_cast<uint8_t>(b);
    s.Bits = 8;
    return true;
}

int TJpegWalker::Decode(TCarveCursor& c, TJpegState& s, const TJpegScan::TTable& t) {
    // Most codes are 8 bits or fewer: looked up at once from the bits left in the byte
    // being read and the next one, when that one is plain coded data. Anything else (a
    // longer code, a marker or the end of the bytes next) goes bit by bit, as the state
    // after either way is the same.
    if (s.Bits > 0) {
        c.Seek(s.Pos);
        const int next = c.Byte();
        if (next >= 0 && (next != 0xFF || c.Byte() == 0x00)) {
            const uint32_t window = (uint32_t{s.Cur} << 8 | static_cast<uint32_t>(next)) << (8 - s.Bits);
            const uint16_t hit = t.Look[(window >> 8) & 0xFF];
            const int len = hit >> 8;
            if (len > 0) {
                if (len <= s.Bits) {
                    s.Bits = static_cast<uint8_t>(s.Bits - len);
                } else {
                    const int rest = len - s.Bits;
                    if (!Load(c, s)) return -1;
                    s.Bits = static_cast<uint8_t>(s.Bits - rest);
                }
                return hit & 0xFF;
            }
        }
    }
    int b = Bit(c, s);
    if (b < 0) return -1;
    int32_t code = b;
    for (int l = 1; l <= 16; ++l) {
        if (t.MaxCode[l] >= 0 && code <= t.MaxCode[l]) {
            const int32_t i = t.ValPtr[l] + code - t.MinCode[l];
            return i >= 0 && i < 256 ? t.Values[static_cast<size_t>(i)] : -1;
        }
        b = Bit(c, s);
        if (b < 0) return -1;
        code = code << 1 | b;
    }
    return -1;  // no code of 16 bits or fewer: not this table's data
}

bool TJpegWalker::Mcu(TCarveCursor& c, TJpegState& s) {
    const uint64_t mcuX = s.Mcu % scan_.McusWide;
    const uint64_t bw = scan_.McusWide ? scan_.BlocksWide / scan_.McusWide : 0;
    for (const TJpegScan::TBlock& blk : scan_.Mcu) {
        const int t = Decode(c, s, scan_.Dc[blk.Dc]);
        if (t < 0 || t > 11) return false;
        int32_t diff = 0;
        for (int i = 0; i < t; ++i) {
            const int b = Bit(c, s);
            if (b < 0) return false;
            diff = diff << 1 | b;
        }
        if (t && diff < (1 << (t - 1))) diff -= (1 << t) - 1;
        int32_t& pred = s.Pred[blk.Comp];
        pred += diff;
        // An 8-bit picture's DC coefficient stays within +-1024 at any quantisation.
        if (pred < -2048 || pred > 2047) return false;
        if (blk.Col != 0xFFFF && !s.Above.empty()) {
            const uint64_t col = mcuX * bw + blk.Col;
            if (col < s.Above.size()) {
                if ((s.Mcu >= scan_.McusWide || blk.Row > 0) && (s.SeamEnd == 0 || s.Mcu < s.SeamEnd)) {
                    s.Jump += static_cast<uint64_t>(std::abs(pred - s.Above[col]));
                    ++s.Jumps;
                }
                s.Above[col] = static_cast<int16_t>(pred);
            }
        }
        for (int k = 1; k < 64;) {
            const int rs = Decode(c, s, scan_.Ac[blk.Ac]);
            if (rs < 0) return false;
            const int r = rs >> 4, sz = rs & 15;
            if (sz == 0) {
                if (r == 15) {
                    k += 16;
                    if (k > 64) return false;
                    continue;
                }
                if (r != 0) return false;
                break;  // end of block
            }
            if (sz > 10) return false;
            k += r;
            if (k > 63) return false;
            if (!Skip(c, s, sz)) return false;
            ++k;
        }
    }
    ++s.Mcu;
    ++s.SinceRestart;
    return true;
}

bool TJpegWalker::Padding(TJpegState& s) {
    // Encoders fill the last byte of a segment with one bits.
    const uint8_t mask = static_cast<uint8_t>((1u << s.Bits) - 1);
    const bool ok = (s.Cur & mask) == mask;
    s.Bits = 0;
    return ok;
}

TJpegWalk TJpegWalker::Step(TCarveCursor& c, TJpegState& s, bool& done) {
    if (!Mcu(c, s)) {
        done = true;
        return {TJpegStop::Broken, std::max(s.Seen, s.Pos)};
    }
    const bool last = s.Mcu == scan_.Mcus();
    if (!last && !(scan_.Restart && s.SinceRestart == scan_.Restart)) return {};
    if (!Padding(s)) {
        done = true;
        return {TJpegStop::Broken, std::max(s.Seen, s.Pos)};
    }
    c.Seek(s.Pos);
    int b = c.Byte();
    if (b != 0xFF) {
        done = true;
        return {TJpegStop::Broken, s.Pos + 1};
    }
    int m;
    do m = c.Byte();
    while (m == 0xFF);
    if (last) {
        done = true;
        if (m != 0xD9) return {TJpegStop::Broken, c.Pos()};
        s.Pos = c.Pos();
        return {TJpegStop::End, s.Pos};
    }
    if (m != 0xD0 + s.NextRst) {
        done = true;
        return {TJpegStop::Broken, c.Pos()};
    }
    s.Pos = c.Pos();
    s.NextRst = static_cast<uint8_t>((s.NextRst + 1) & 7);
    s.SinceRestart = 0;
    ++s.Restarts;
    s.Pred = {};
    return {};
}

} // namespace brivo::carve
