#include <algorithm>
#include <cstring>
#include <span>
#include <utility>
#include <vector>
#include <string_view>

#include "carve/CarveFormat.h"

namespace brivo::carve {

namespace {

bool TopLevelBox(std::string_view t) {
    static const char* const kTypes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "uuid", "meta", "moof",
                                         "mfra", "pdin", "styp", "sidx", "ssix", "prft", "emsg", "pnot", "junk",
                                         "udta", "bloc", "prfl", "PICT", "thum"};
    for (const char* k : kTypes)
        if (t == k) return true;
    return false;
}

std::string ExtFromBrands(const uint8_t* ftyp, uint32_t len) {
    auto brand = [&](uint32_t at) { return std::string_view(reinterpret_cast<const char*>(ftyp) + at, 4); };
    // The major brand first, then the compatible ones.
    std::vector<std::string_view> brands{brand(0)};
    for (uint32_t at = 8; at + 4 <= len; at += 4) brands.push_back(brand(at));
    for (auto b : brands) {
        if (b == "crx ") return "cr3";
        if (b == "qt  ") return "mov";
        if (b == "M4A " || b == "M4B ") return "m4a";
        if (b.substr(0, 3) == "3gp" || b.substr(0, 3) == "3g2") return "3gp";
        if (b == "avif" || b == "avis") return "avif";
        if (b == "heic" || b == "heix" || b == "hevc" || b == "heim" || b == "heis" || b == "mif1" || b == "msf1")
            return "heic";
        if (b == "isom" || b == "iso2" || b == "mp41" || b == "mp42" || b == "avc1" || b == "M4V " || b == "dash")
            return "mp4";
    }
    return "mp4";
}

// How far the sample tables vouch for a movie's data. Everything here reads bytes that may
// belong to another file: each count is checked against the bytes that hold it before it is
// used, and the work is bounded by the size of the movie box, never by a count in it.

constexpr uint64_t kCluster = 4096;
constexpr uint64_t kMaxMoov = 32ull << 20;      // a long film's tables fit many times over
constexpr uint64_t kMaxNalReads = 4'000'000;    // NAL units looked at in one file

struct TBox {
    std::string_view Type;
    std::span<const uint8_t> Payload;
};

// The boxes inside a payload, in order; false when one of them does not fit.
bool Children(std::span<const uint8_t> p, std::vector<TBox>& out) {
    out.clear();
    size_t at = 0;
    while (at < p.size()) {
        if (p.size() - at < 8) return false;
        uint64_t size = ReadBe32(p, at);
        size_t head = 8;
        if (size == 1) {
            if (p.size() - at < 16) return false;
            size = ReadBe64(p, at + 8);
            head = 16;
        } else if (size == 0) {
            size = p.size() - at;
        }
        if (size < head || size > p.size() - at) return false;
        out.push_back({std::string_view(reinterpret_cast<const char*>(p.data()) + at + 4, 4),
                       p.subspan(at + head, static_cast<size_t>(size) - head)});
        at += static_cast<size_t>(size);
    }
    return true;
}

std::span<const uint8_t> Child(std::span<const uint8_t> p, std::string_view type, bool& bad) {
    std::vector<TBox> kids;
    if (!Children(p, kids)) {
        bad = true;
        return {};
    }
    for (const TBox& b : kids)
        if (b.Type == type) return b.Payload;
    return {};
}

// Bytes 0 to 3 of a full box are its version and flags.
struct TTables {
    std::span<const uint8_t> Stsd, Stsz, Stz2, Stsc, Stco, Co64;
};

// The length of the NAL units' size fields for coded video we can follow, 0 for anything else.
int NalLengthSize(std::span<const uint8_t> stsd, bool& hevc) {
    if (stsd.size() < 16 || ReadBe32(stsd, 4) == 0) return 0;
    const uint32_t size = ReadBe32(stsd, 8);
    if (size < 8 || size > stsd.size() - 8) return 0;
    const std::string_view type(reinterpret_cast<const char*>(stsd.data()) + 12, 4);
    const bool avc = type == "avc1" || type == "avc3";
    hevc = type == "hvc1" || type == "hev1";
    if (!avc && !hevc) return 0;
    // A visual sample entry: 78 bytes of fields after its header, then its boxes.
    const auto entry = stsd.subspan(16, size - 8);
    if (entry.size() < 78) return 0;
    bool bad = false;
    const auto config = Child(entry.subspan(78), avc ? "avcC" : "hvcC", bad);
    if (bad) return 0;
    const size_t at = avc ? 4 : 21;
    if (config.size() <= at || config[0] != 1) return 0;
    const int n = (config[at] & 3) + 1;
    return n == 3 ? 0 : n;
}

bool NalHeaderHolds(const uint8_t* h, bool hevc) {
    if (h[0] & 0x80) return false;  // forbidden_zero_bit
    if (!hevc) {
        const int type = h[0] & 0x1F;
        return type >= 1 && type <= 23;
    }
    const int type = (h[0] >> 1) & 0x3F;
    const int layer = ((h[0] & 1) << 5) | (h[1] >> 3);
    return type <= 40 && layer != 63 && (h[1] & 7) != 0;
}

class TMovieProof {
public:
    TMovieProof(TCarveInput& in, uint64_t length, std::vector<std::pair<uint64_t, uint64_t>> mdats, uint64_t moovAt)
        : cursor_(in), mdats_(std::move(mdats)), moovAt_(moovAt),
          covered_(static_cast<size_t>((length + kCluster - 1) / kCluster), false) {}

    // The first byte from which the file is not vouched for, or length when all of it is.
    uint64_t ProvenUpTo(std::span<const uint8_t> moov) {
        std::vector<TBox> kids;
        if (!Children(moov, kids)) return Fail(moovAt_);
        for (const TBox& trak : kids) {
            if (trak.Type != "trak") continue;
            bool bad = false;
            const auto stbl = Child(Child(Child(trak.Payload, "mdia", bad), "minf", bad), "stbl", bad);
            if (bad) return Fail(moovAt_);
            TTables t;
            std::vector<TBox> tables;
            if (!Children(stbl, tables)) return Fail(moovAt_);
            for (const TBox& b : tables) {
                if (b.Type == "stsd") t.Stsd = b.Payload;
                if (b.Type == "stsz") t.Stsz = b.Payload;
                if (b.Type == "stz2") t.Stz2 = b.Payload;
                if (b.Type == "stsc") t.Stsc = b.Payload;
                if (b.Type == "stco") t.Stco = b.Payload;
                if (b.Type == "co64") t.Co64 = b.Payload;
            }
            Track(t);
        }
        uint64_t proven = failAt_;
        for (const auto& [b, e] : mdats_)
            for (uint64_t k = b / kCluster; k * kCluster < e && k * kCluster < proven; ++k)
                if (!covered_[static_cast<size_t>(k)]) proven = std::min(proven, std::max(b, k * kCluster));
        return proven;
    }

    // True when a check failed, rather than some media data having nothing to check it by.
    bool Failed() const { return failAt_ != UINT64_MAX; }

private:
    uint64_t Fail(uint64_t at) {
        failAt_ = std::min(failAt_, at);
        return failAt_;
    }

    bool InsideMdat(uint64_t at, uint64_t size) const {
        for (const auto& [b, e] : mdats_)
            if (at >= b && at <= e && size <= e - at) return true;
        return false;
    }

    void Cover(uint64_t at, uint64_t size) {
        if (size == 0) return;
        for (uint64_t k = at / kCluster; k <= (at + size - 1) / kCluster && k < covered_.size(); ++k)
            covered_[static_cast<size_t>(k)] = true;
    }

    // The sample's NAL units, each behind its size field, fill it exactly.
    bool SampleHolds(uint64_t at, uint64_t size, int lenSize, bool hevc) {
        const uint64_t end = at + size;
        uint64_t pos = at;
        while (pos < end) {
            if (++nalReads_ > kMaxNalReads) return false;
            if (end - pos < static_cast<uint64_t>(lenSize) + (hevc ? 2 : 1)) return false;
            cursor_.Seek(pos);
            uint8_t h[6];
            if (!cursor_.Read(h, static_cast<size_t>(lenSize) + (hevc ? 2 : 1))) return false;
            uint64_t n = 0;
            for (int i = 0; i < lenSize; ++i) n = (n << 8) | h[i];
            if (n < (hevc ? 2u : 1u) || n > end - pos - static_cast<uint64_t>(lenSize)) return false;
            if (!NalHeaderHolds(h + lenSize, hevc)) return false;
            pos += static_cast<uint64_t>(lenSize) + n;
        }
        return true;
    }

    void Track(const TTables& t) {
        // Chunk offsets.
        const bool wide = !t.Co64.empty();
        const auto co = wide ? t.Co64 : t.Stco;
        const size_t coW = wide ? 8 : 4;
        if (co.size() < 8 || t.Stsc.size() < 8) return void(Fail(moovAt_));
        const uint64_t chunks = ReadBe32(co, 4);
        if (chunks > (co.size() - 8) / coW) return void(Fail(moovAt_));
        // Samples to a chunk, in runs.
        const uint64_t runs = ReadBe32(t.Stsc, 4);
        if (runs > (t.Stsc.size() - 8) / 12) return void(Fail(moovAt_));
        // Sample sizes: one for all, a table of 32-bit sizes, or a compact table.
        uint64_t fixed = 0, count = 0;
        int field = 32;
        std::span<const uint8_t> sizes;
        if (t.Stsz.size() >= 12) {
            fixed = ReadBe32(t.Stsz, 4);
            count = ReadBe32(t.Stsz, 8);
            sizes = t.Stsz.subspan(12);
        } else if (t.Stz2.size() >= 12) {
            field = t.Stz2[7];
            count = ReadBe32(t.Stz2, 8);
            sizes = t.Stz2.subspan(12);
            if (field != 4 && field != 8 && field != 16) return void(Fail(moovAt_));
        } else {
            return void(Fail(moovAt_));
        }
        if (fixed == 0 && count > sizes.size() * 8 / static_cast<uint64_t>(field)) return void(Fail(moovAt_));
        auto sampleSize = [&](uint64_t i) -> uint64_t {
            if (fixed) return fixed;
            if (field == 32) return ReadBe32(sizes, static_cast<size_t>(i * 4));
            if (field == 16) return ReadBe16(sizes, static_cast<size_t>(i * 2));
            if (field == 8) return sizes[static_cast<size_t>(i)];
            const uint8_t b = sizes[static_cast<size_t>(i / 2)];
            return i % 2 ? b & 0x0F : b >> 4;
        };
        bool hevc = false;
        const int lenSize = NalLengthSize(t.Stsd, hevc);
        uint64_t sample = 0;
        size_t run = 0;
        for (uint64_t c = 1; c <= chunks; ++c) {
            while (run + 1 < runs && ReadBe32(t.Stsc, 8 + (run + 1) * 12) <= c) ++run;
            if (runs == 0 || ReadBe32(t.Stsc, 8) != 1) return void(Fail(moovAt_));
            const uint64_t perChunk = ReadBe32(t.Stsc, 8 + run * 12 + 4);
            if (perChunk > count - sample) return void(Fail(moovAt_));
            uint64_t at = wide ? ReadBe64(co, 8 + (c - 1) * 8) : ReadBe32(co, 8 + (c - 1) * 4);
            if (fixed && !lenSize) {
                // Sound with one size for every sample (PCM): the chunk at once.
                const uint64_t bytes = perChunk * fixed;
                if (bytes / fixed != perChunk || !InsideMdat(at, bytes)) return void(Fail(std::min(at, moovAt_)));
                sample += perChunk;
                continue;
            }
            for (uint64_t s = 0; s < perChunk; ++s, ++sample) {
                const uint64_t size = sampleSize(sample);
                if (!InsideMdat(at, size)) return void(Fail(std::min(at, moovAt_)));
                if (lenSize) {
                    if (!SampleHolds(at, size, lenSize, hevc)) return void(Fail(at));
                    Cover(at, size);
                }
                at += size;
            }
        }
        if (sample != count) Fail(moovAt_);
    }

    TCarveCursor cursor_;
    std::vector<std::pair<uint64_t, uint64_t>> mdats_;  // each media data box's payload
    uint64_t moovAt_;
    std::vector<bool> covered_;  // clusters holding a sample whose NAL units check out
    uint64_t failAt_ = UINT64_MAX;
    uint64_t nalReads_ = 0;
};

} // namespace

// Top-level boxes by their sizes, as long as each is a box such a file holds at top level.
// Whole when the boxes that make it playable are there (a movie box for video and sound,
// a meta box for still pictures); without them the file was cut before its index. A whole
// layout is only Complete when the movie's sample tables vouch for every cluster of its
// media data: a cluster of another file inside the media data box leaves the layout intact.
TCarveHit WalkIsoBmff(TCarveInput& in) {
    TCarveCursor c(in);
    uint8_t h[8];
    if (!c.Read(h, 8) || std::memcmp(h + 4, "ftyp", 4) != 0) return {};
    const uint32_t ftypLen = ReadBe32(h, 0);
    if (ftypLen < 16 || ftypLen > 1024 || (ftypLen & 3)) return {};
    std::vector<uint8_t> ftyp(ftypLen - 8);
    if (!c.Read(ftyp.data(), ftyp.size())) return {};
    // Brands are four printable characters; the minor version between them is a number.
    for (size_t i = 0; i < ftyp.size(); ++i)
        if ((i < 4 || i >= 8) && (ftyp[i] < 0x20 || ftyp[i] > 0x7E)) return {};
    const std::string ext = ExtFromBrands(ftyp.data(), static_cast<uint32_t>(ftyp.size()));
    const bool still = ext == "heic" || ext == "avif";
    bool moov = false, meta = false, mdat = false;
    uint64_t moovAt = 0, moovSize = 0;
    int moovHead = 8;
    std::vector<std::pair<uint64_t, uint64_t>> mdats;
    auto whole = [&] { return still ? (meta && mdat) : (moov && mdat); };
    auto ended = [&](uint64_t length) {
        if (!whole()) return Ended(TCarveEnd::CutShort, length, ext);
        TCarveHit hit = Ended(TCarveEnd::Complete, length, ext);
        uint64_t proven = 0;
        bool failed = true;
        std::vector<uint8_t> box;
        // Still pictures place their coded data through item locations, which are not
        // followed here: their coded data is one or a few NAL units as long as the picture,
        // whose lengths would vouch for none of the clusters inside them anyway.
        if (!still && moovSize - static_cast<uint64_t>(moovHead) <= kMaxMoov) {
            box.resize(static_cast<size_t>(moovSize) - static_cast<size_t>(moovHead));
            if (in.Read(moovAt + static_cast<uint64_t>(moovHead), box.data(), box.size()) == box.size()) {
                TMovieProof proof(in, length, mdats, moovAt);
                proven = proof.ProvenUpTo(box);
                failed = proof.Failed();
            }
        } else {
            proven = TMovieProof(in, length, mdats, moovAt).ProvenUpTo({});
            failed = false;
        }
        if (proven < length) {
            hit.End = TCarveEnd::Damaged;
            hit.ProvenBytes = proven;
            // Sound or a still picture no check covers: nothing says where it goes wrong.
            hit.ContentUnchecked = !failed;
        }
        return hit;
    };
    for (;;) {
        const uint64_t at = c.Pos();
        uint8_t b[16];
        if (!c.Read(b, 8)) return ended(std::min(at, in.Size()));
        const std::string_view type(reinterpret_cast<const char*>(b) + 4, 4);
        if (!TopLevelBox(type)) return ended(at);
        uint64_t size = ReadBe32(b, 0);
        int head = 8;
        if (size == 1) {
            if (!c.Read(b + 8, 8)) return Ended(TCarveEnd::CutShort, in.Size(), ext);
            size = ReadBe64(b, 8);
            head = 16;
            if (size < 16) return ended(at);
        } else if (size == 0) {
            // The last box runs to the end of the file, which nothing here states.
            return Ended(TCarveEnd::CutShort, in.Size(), ext);
        } else if (size < 8) {
            return ended(at);
        }
        if (at + size > in.Size() || size > in.Size()) return Ended(TCarveEnd::CutShort, in.Size(), ext);
        if (type == "moov" && !moov) {
            moovAt = at;
            moovSize = size;
            moovHead = head;
        }
        if (type == "moov") moov = true;
        if (type == "meta") meta = true;
        if (type == "mdat") {
            mdat = true;
            mdats.emplace_back(at + static_cast<uint64_t>(head), at + size);
        }
        c.Seek(at + size);
    }
}

} // namespace brivo::carve
