#include <algorithm>
#include <cstring>
#include <vector>
#include <string>

#include "carve/CarveFormat.h"
#include "carve/Exif.h"

namespace brivo::carve {

namespace {

struct TFrame {
    int Version = 0;  // 3 MPEG-1, 2 MPEG-2, 0 MPEG-2.5
    int Layer = 0;    // 1..3
    int SampleRate = 0;
    uint32_t Length = 0;
    bool Mono = false;
};

// A frame header's fields and the frame's length; false for the reserved and "free" values.
bool ParseFrame(const uint8_t* h, TFrame& f) {
    if (h[0] != 0xFF || (h[1] & 0xE0) != 0xE0) return false;
    const int version = (h[1] >> 3) & 3, layerBits = (h[1] >> 1) & 3;
    const int brIndex = h[2] >> 4, srIndex = (h[2] >> 2) & 3, padding = (h[2] >> 1) & 1;
    if (version == 1 || layerBits == 0 || brIndex == 0 || brIndex == 15 || srIndex == 3 || (h[3] & 3) == 2) return false;
    static const int kBitrates[2][3][15] = {
        {{0, 32, 64, 96, 128, 160, 192, 224, 256, 288, 320, 352, 384, 416, 448},
         {0, 32, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320, 384},
         {0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320}},
        {{0, 32, 48, 56, 64, 80, 96, 112, 128, 144, 160, 176, 192, 224, 256},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160},
         {0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160}}};
    static const int kRates[3] = {44100, 48000, 32000};
    f.Version = version;
    f.Layer = 4 - layerBits;
    const int rate = kRates[srIndex] >> (version == 3 ? 0 : version == 2 ? 1 : 2);
    const uint32_t kbps = static_cast<uint32_t>(kBitrates[version == 3 ? 0 : 1][f.Layer - 1][brIndex]);
    f.SampleRate = rate;
    f.Mono = (h[3] >> 6) == 3;
    const uint32_t br = kbps * 1000, sr = static_cast<uint32_t>(rate);
    if (f.Layer == 1) f.Length = (12 * br / sr + static_cast<uint32_t>(padding)) * 4;
    else if (f.Layer == 3 && version != 3) f.Length = 72 * br / sr + static_cast<uint32_t>(padding);
    else f.Length = 144 * br / sr + static_cast<uint32_t>(padding);
    return f.Length >= 4;
}

bool SameStream(const TFrame& a, const TFrame& b) {
    return a.Version == b.Version && a.Layer == b.Layer && a.SampleRate == b.SampleRate;
}

uint32_t Syncsafe(const uint8_t* b) {
    return uint32_t(b[0] & 0x7F) << 21 | uint32_t(b[1] & 0x7F) << 14 | uint32_t(b[2] & 0x7F) << 7 | (b[3] & 0x7F);
}

void AppendUtf8(std::string& out, uint32_t cp) {
    if (cp < 0x80) out += static_cast<char>(cp);
    else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | cp >> 6);
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xE0 | cp >> 12);
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

// A text frame's value as UTF-8 (its first string only; surrogate pairs dropped).
std::string TextValue(const uint8_t* p, size_t n) {
    if (n < 2) return {};
    const uint8_t enc = p[0];
    ++p, --n;
    std::string out;
    if (enc == 0 || enc == 3) {
        for (size_t i = 0; i < n && p[i]; ++i) {
            if (enc == 0) AppendUtf8(out, p[i]);
            else out += static_cast<char>(p[i]);
        }
        return out;
    }
    if (enc > 2) return {};
    bool big = enc == 2;
    size_t i = 0;
    if (enc == 1 && n >= 2) {
        big = p[0] == 0xFE && p[1] == 0xFF;
        i = 2;
    }
    for (; i + 1 < n; i += 2) {
        const uint32_t u = big ? (uint32_t(p[i]) << 8 | p[i + 1]) : (uint32_t(p[i + 1]) << 8 | p[i]);
        if (u == 0) break;
        if (u < 0xD800 || u > 0xDFFF) AppendUtf8(out, u);
    }
    return out;
}

// "Artist - Title" from the tag's text frames, or the title alone.
std::string NameFromId3(const std::vector<uint8_t>& tag, int major) {
    std::string title, artist;
    const size_t idLen = major == 2 ? 3 : 4, headLen = major == 2 ? 6 : 10;
    size_t at = 10;
    if (major >= 3 && (tag[5] & 0x40)) {  // an extended header first
        if (tag.size() < 14) return {};
        const uint32_t n = major == 4 ? Syncsafe(&tag[10]) : (uint32_t(tag[10]) << 24 | tag[11] << 16 | tag[12] << 8 | tag[13]);
        at += major == 4 ? n : n + 4;
    }
    while (at + headLen <= tag.size() && tag[at] != 0) {
        const uint8_t* h = &tag[at];
        const uint32_t size = major == 2 ? (uint32_t(h[3]) << 16 | h[4] << 8 | h[5])
                              : major == 4 ? Syncsafe(h + 4)
                                           : (uint32_t(h[4]) << 24 | h[5] << 16 | h[6] << 8 | h[7]);
        if (size > tag.size() - at - headLen) break;
        const std::string id(reinterpret_cast<const char*>(h), idLen);
        const bool plain = major == 2 || (h[9] & 0x0F) == 0;  // not compressed, encrypted or unsynchronised
        if (plain && (id == "TIT2" || id == "TT2")) title = TextValue(h + headLen, size);
        if (plain && (id == "TPE1" || id == "TP1")) artist = TextValue(h + headLen, size);
        at += headLen + size;
    }
    if (title.empty()) return {};
    return CleanTitle(artist.empty() ? title : artist + " - " + title);
}

// Whether a whole 4 KiB cluster (counted from the file's start) lies in [from, to).
bool HoldsACluster(uint64_t from, uint64_t to) { return (from + 4095) / 4096 * 4096 + 4096 <= to; }

// How far an ID3v2 tag of size bytes vouches for itself: its frames must follow each other
// to the padding, and the padding be zeros. A frame's content (a picture, lyrics) carries
// no check, so one that holds a whole cluster is where the tag stops being vouched for, as
// is a tag stored unsynchronised or with an extended header, which are not walked. Bad is
// set where the frames or the padding fail.
uint64_t Id3Vouched(TCarveInput& in, uint64_t size, int major, uint8_t flags, bool& bad) {
    if ((flags & 0xC0) || major < 3) return HoldsACluster(10, size) ? 10 : size;
    uint64_t at = 10;
    while (at + 10 <= size) {
        uint8_t h[10];
        if (in.Read(at, h, 10) != 10) return at;
        if (h[0] == 0) break;  // the padding
        for (int i = 0; i < 4; ++i)
            if (!((h[i] >= 'A' && h[i] <= 'Z') || (h[i] >= '0' && h[i] <= '9'))) {
                bad = true;
                return at;
            }
        const uint64_t n = major == 4 ? Syncsafe(h + 4) : (uint32_t(h[4]) << 24 | h[5] << 16 | h[6] << 8 | h[7]);
        if (n > size - at - 10) {
            bad = true;
            return at;
        }
        if (HoldsACluster(at + 10, at + 10 + n)) return at;
        at += 10 + n;
    }
    std::vector<uint8_t> b(4096);
    for (uint64_t p = at; p < size;) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(size - p, b.size()));
        if (in.Read(p, b.data(), k) != k) return p;
        for (size_t i = 0; i < k; ++i)
            if (b[i]) {
                bad = true;
                return p + i;
            }
        p += k;
    }
    return size;
}

} // namespace

// An ID3v2 tag (its size in the header), then MPEG audio frames, each header giving the
// frame's length, chained to the first bytes that are not a frame of the same stream; then
// an APE and an ID3v1 tag when they are there. Without a tag, a run of frames long enough
// not to happen by chance is needed to take the start. A VBR/Info header in the first frame
// tells how many frames there should be, so a chain that breaks early is known to be cut.
TCarveHit WalkMp3(TCarveInput& in) {
    TCarveCursor c(in);
    std::string title;
    bool tagged = false, tagBad = false;
    uint64_t tagEnd = 0, tagVouched = 0;
    if (const uint8_t* h = c.Peek(10); h && std::memcmp(h, "ID3", 3) == 0) {
        const int major = h[3];
        if (major < 2 || major > 4 || h[4] == 0xFF || (h[6] | h[7] | h[8] | h[9]) & 0x80) return {};
        const uint64_t size = 10 + uint64_t{Syncsafe(h + 6)} + ((h[5] & 0x10) ? 10 : 0);
        if (!(h[5] & 0x80)) {  // a tag stored unsynchronised is left unnamed
            std::vector<uint8_t> tag(static_cast<size_t>(std::min<uint64_t>(size, 64 * 1024)));
            tag.resize(in.Read(0, tag.data(), tag.size()));
            if (tag.size() >= 10) title = NameFromId3(tag, major);
        }
        if (size >= in.Size()) return Ended(TCarveEnd::CutShort, in.Size(), "mp3");
        tagEnd = 10 + uint64_t{Syncsafe(h + 6)};
        tagVouched = Id3Vouched(in, tagEnd, major, h[5], tagBad);
        c.Seek(size);
        tagged = true;
        // Some writers pad after the tag as well as inside it.
        for (int i = 0; i < 4096 && c.Peek(1) && *c.Peek(1) == 0; ++i) c.Skip(1);
    }
    const auto hitOf = [&](TCarveEnd end, uint64_t length) {
        TCarveHit hit = Ended(end, std::min(length, in.Size()), "mp3");
        hit.Title = title;
        if (end == TCarveEnd::Complete && (tagBad || tagVouched < tagEnd)) {
            hit.End = TCarveEnd::Damaged;
            hit.ProvenBytes = tagVouched;
            hit.ContentUnchecked = !tagBad;
        }
        return hit;
    };
    TFrame first;
    uint64_t frames = 0, expected = 0;
    for (;;) {
        const uint64_t at = c.Pos();
        const uint8_t* h = c.Peek(4);
        TFrame f;
        if (!h || !ParseFrame(h, f) || (frames && !SameStream(first, f))) {
            if (!h && at < in.Size() && frames) return hitOf(TCarveEnd::CutShort, in.Size());
            const uint64_t needed = tagged ? 2 : 8;
            if (frames < needed) return tagged && frames ? hitOf(TCarveEnd::CutShort, at) : TCarveHit{};
            if (!h && frames && at >= in.Size() && (expected == 0 || frames >= expected))
                return hitOf(TCarveEnd::Complete, at);
            if (expected && frames < expected) return hitOf(TCarveEnd::CutShort, at);
            break;
        }
        if (frames == 0) {
            first = f;
            // The VBR/Info header sits after the side information of the first frame.
            const size_t side = f.Version == 3 ? (f.Mono ? 17 : 32) : (f.Mono ? 9 : 17);
            if (f.Layer == 3 && f.Length >= 4 + side + 12)
                if (const uint8_t* x = c.Peek(4 + side + 12);
                    x && (std::memcmp(x + 4 + side, "Xing", 4) == 0 || std::memcmp(x + 4 + side, "Info", 4) == 0) &&
                    (x[4 + side + 7] & 1))
                    expected = 1 + ReadBe32({x + 4 + side + 8, 4}, 0);
        }
        if (!c.Skip(f.Length)) {
            if (frames < (tagged ? 1u : 8u)) return tagged ? hitOf(TCarveEnd::CutShort, in.Size()) : TCarveHit{};
            return hitOf(TCarveEnd::CutShort, in.Size());
        }
        ++frames;
        if (expected && frames == expected) break;
    }
    uint64_t end = c.Pos();
    // APEv2 with its header in front: the size counts the items and the footer.
    if (uint8_t a[32]; in.Read(end, a, 32) == 32 && std::memcmp(a, "APETAGEX", 8) == 0) {
        const uint32_t size = a[12] | a[13] << 8 | a[14] << 16 | uint32_t(a[15]) << 24;
        const uint32_t flags = a[20] | a[21] << 8 | a[22] << 16 | uint32_t(a[23]) << 24;
        if ((flags & 0x20000000u) && size >= 32 && size <= 16 * 1024 * 1024) {
            if (uint64_t{size} + 32 > in.Size() - end) return hitOf(TCarveEnd::CutShort, in.Size());
            end += 32 + size;
        }
    }
    if (uint8_t t[3]; in.Read(end, t, 3) == 3 && std::memcmp(t, "TAG", 3) == 0) {
        if (in.Size() - end < 128) return hitOf(TCarveEnd::CutShort, in.Size());
        end += 128;
    }
    return hitOf(TCarveEnd::Complete, end);
}

} // namespace brivo::carve
