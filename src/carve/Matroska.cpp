#include <cstring>
#include <string>

#include "carve/CarveFormat.h"
#include "carve/Exif.h"

namespace brivo::carve {

namespace {

constexpr uint32_t kEbmlHeader = 0x1A45DFA3, kSegment = 0x18538067, kCluster = 0x1F43B675, kInfo = 0x1549A966;
constexpr uint64_t kUnknownSize = ~uint64_t{0};

struct TElement {
    uint32_t Id = 0;
    uint64_t Size = 0;  // kUnknownSize when the writer left it open
    unsigned HeadLen = 0;
};

// An element's ID (marker bits kept, 1-4 bytes) and size (1-8 bytes) at offset; false when
// the bytes there cannot begin an element.
bool ReadElement(TCarveInput& in, uint64_t at, TElement& e) {
    uint8_t b[12] = {};
    const size_t got = in.Read(at, b, sizeof b);
    if (got < 2) return false;
    unsigned idLen = 1;
    while (idLen <= 4 && !(b[0] & (0x80 >> (idLen - 1)))) ++idLen;
    if (idLen > 4 || got < idLen + 1) return false;
    uint32_t id = 0;
    for (unsigned i = 0; i < idLen; ++i) id = id << 8 | b[i];
    const uint8_t first = b[idLen];
    unsigned sizeLen = 1;
    while (sizeLen <= 8 && !(first & (0x80 >> (sizeLen - 1)))) ++sizeLen;
    if (sizeLen > 8 || got < idLen + sizeLen) return false;
    uint64_t size = first & (0xFF >> sizeLen);
    bool allOnes = size == (0xFFu >> sizeLen);
    for (unsigned i = 1; i < sizeLen; ++i) {
        size = size << 8 | b[idLen + i];
        allOnes = allOnes && b[idLen + i] == 0xFF;
    }
    e.Id = id;
    e.Size = allOnes ? kUnknownSize : size;
    e.HeadLen = idLen + sizeLen;
    return true;
}

// What may stand directly inside a Segment.
bool IsTopLevel(uint32_t id) {
    switch (id) {
    case 0x114D9B74:  // SeekHead
    case kInfo:
    case 0x1654AE6B:  // Tracks
    case kCluster:
    case 0x1C53BB6B:  // Cues
    case 0x1043A770:  // Chapters
    case 0x1254C367:  // Tags
    case 0x1941A469:  // Attachments
    case 0xEC:        // Void
    case 0xBF:        // CRC-32
        return true;
    default:
        return false;
    }
}

// What may stand inside a Cluster; a Cluster written without a size ends at the first
// element that is not one of these.
bool IsClusterChild(uint32_t id) {
    switch (id) {
    case 0xE7: case 0xA7: case 0xAB: case 0xA3: case 0xA0: case 0xAF: case 0x5854: case 0xEC: case 0xBF:
        return true;
    default:
        return false;
    }
}

// The children of a small master element at [from, end): calls f(id, offset, size) for each.
template <class F>
void Children(TCarveInput& in, uint64_t from, uint64_t end, F f) {
    for (uint64_t at = from; at < end;) {
        TElement e;
        if (!ReadElement(in, at, e) || e.Size == kUnknownSize || e.HeadLen > end - at || e.Size > end - at - e.HeadLen) return;
        f(e.Id, at + e.HeadLen, e.Size);
        at += e.HeadLen + e.Size;
    }
}

std::string ReadString(TCarveInput& in, uint64_t at, uint64_t size) {
    std::string s(static_cast<size_t>(std::min<uint64_t>(size, 256)), '\0');
    s.resize(in.Read(at, reinterpret_cast<uint8_t*>(s.data()), s.size()));
    while (!s.empty() && s.back() == '\0') s.pop_back();
    return s;
}

} // namespace

// The EBML header names the type (DocType "matroska" or "webm"); the Segment's size gives
// the end. Inside it, every top-level element must be one Matroska knows and fit: the first
// that does not is where the file's bytes stop being its own. A Segment (or Cluster) that a
// live writer left without a size runs to the first element that cannot stand at its level.
TCarveHit WalkMatroska(TCarveInput& in) {
    TElement head;
    if (!ReadElement(in, 0, head) || head.Id != kEbmlHeader || head.Size == kUnknownSize || head.Size > 4096) return {};
    std::string docType;
    Children(in, head.HeadLen, head.HeadLen + head.Size, [&](uint32_t id, uint64_t at, uint64_t size) {
        if (id == 0x4282) docType = ReadString(in, at, size);
    });
    const std::string ext = docType == "webm" ? "webm" : docType == "matroska" ? "mkv" : "";
    if (ext.empty()) return {};
    const uint64_t segAt = head.HeadLen + head.Size;
    TElement seg;
    if (segAt >= in.Size()) return Ended(TCarveEnd::CutShort, in.Size(), ext);
    if (!ReadElement(in, segAt, seg) || seg.Id != kSegment) return {};
    const bool open = seg.Size == kUnknownSize;
    const uint64_t dataAt = segAt + seg.HeadLen;
    const uint64_t segEnd = open ? kUnknownSize : (seg.Size > kUnknownSize - dataAt ? kUnknownSize - 1 : dataAt + seg.Size);

    TCarveHit hit;
    hit.Ext = ext;
    int elements = 0;
    bool sawCluster = false;
    uint64_t at = dataAt;
    const auto stop = [&](TCarveEnd end, uint64_t length) {
        hit.End = end;
        hit.Length = std::min(length, in.Size());
        hit.ProvenBytes = hit.Length;
        return hit;
    };
    while (at < segEnd) {
        // An open Segment that ends with the searched bytes, on an element's end, is taken
        // as whole: nothing says more of it was written.
        if (at >= in.Size()) return stop(open && sawCluster ? TCarveEnd::Complete : TCarveEnd::CutShort, in.Size());
        TElement e;
        if (!ReadElement(in, at, e) || !IsTopLevel(e.Id)) {
            if (in.Size() - at < 12 && !open) return stop(TCarveEnd::CutShort, in.Size());
            // An open Segment ends here when the sector after it is empty or another file's
            // start; other bytes may as well be a foreign cluster inside it. A sized one was
            // broken into.
            if (open && sawCluster)
                return stop(in.EndsHere((at + 511) / 512 * 512) ? TCarveEnd::Complete : TCarveEnd::CutShort, at);
            return elements ? stop(TCarveEnd::CutShort, at) : TCarveHit{};
        }
        ++elements;
        const uint64_t bodyAt = at + e.HeadLen;
        if (e.Id == kCluster) sawCluster = true;
        if (e.Size == kUnknownSize) {
            if (e.Id != kCluster) return stop(TCarveEnd::CutShort, at);
            // Its blocks, one by one, to the first element that is not part of a Cluster.
            uint64_t p = bodyAt;
            for (;;) {
                TElement k;
                if (p >= in.Size()) break;
                if (!ReadElement(in, p, k) || !IsClusterChild(k.Id)) break;
                if (k.Size == kUnknownSize || k.Size > in.Size() - p - k.HeadLen)
                    return stop(TCarveEnd::CutShort, k.Size == kUnknownSize ? p : in.Size());
                p += k.HeadLen + k.Size;
            }
            at = p;
            continue;
        }
        if (bodyAt > segEnd || e.Size > segEnd - bodyAt) return stop(TCarveEnd::CutShort, at);  // sticks out of its Segment
        if (e.Size > in.Size() - bodyAt) return stop(TCarveEnd::CutShort, in.Size());
        if (e.Id == kCluster) {
            // Its blocks must fill it exactly: a foreign cluster over their headers breaks that.
            uint64_t p = bodyAt;
            const uint64_t end = bodyAt + e.Size;
            while (p < end) {
                TElement k;
                if (!ReadElement(in, p, k) || !IsClusterChild(k.Id) || k.Size == kUnknownSize || k.HeadLen > end - p ||
                    k.Size > end - p - k.HeadLen) {
                    hit = stop(TCarveEnd::Damaged, segEnd);
                    hit.ProvenBytes = p;
                    return hit;
                }
                p += k.HeadLen + k.Size;
            }
        }
        if (e.Id == kInfo && e.Size <= 64 * 1024)
            Children(in, bodyAt, bodyAt + e.Size, [&](uint32_t id, uint64_t p, uint64_t size) {
                if (id == 0x7BA9) hit.Title = CleanTitle(ReadString(in, p, size));
            });
        at = bodyAt + e.Size;
    }
    if (open) return stop(TCarveEnd::CutShort, in.Size());
    return stop(TCarveEnd::Complete, segEnd);
}

} // namespace brivo::carve
