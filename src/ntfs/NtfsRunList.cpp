#include "ntfs/NtfsRunList.h"

#include "core/ByteReaders.h"
#include "ntfs/NtfsAttributeWalk.h"

namespace brivo {

TNtfsRunList DecodeRunList(NtfsBytes buf, int64_t start, int64_t count) {
    TNtfsRunList out;
    const int64_t size = static_cast<int64_t>(buf.size());
    if (start < 0 || count <= 0 || start >= size) return out;
    const int64_t end = (count > size - start) ? size : start + count;
    int64_t pos = start, vcn = 0, lcn = 0;
    while (pos < end) {
        const uint8_t h = buf[static_cast<size_t>(pos)];
        const int l = h & 0x0F, o = h >> 4;
        if (l == 0) {
            out.Complete = true;
            break;
        }
        if (l > 8 || o > 8 || pos + 1 + l + o > end) break;
        const uint64_t len = ReadLeN(buf, pos + 1, l);
        if (len > static_cast<uint64_t>(INT64_MAX)) break;
        const auto clusters = static_cast<int64_t>(len);
        const int64_t delta = o > 0 ? ReadLeSigned(buf, pos + 1 + l, o) : 0;
        pos += 1 + l + o;
        if (delta != 0 && __builtin_add_overflow(lcn, delta, &lcn)) break;
        out.Runs.push_back({vcn, lcn, clusters, delta == 0});
        if (__builtin_add_overflow(vcn, clusters, &vcn)) {
            out.Runs.pop_back();
            break;
        }
    }
    return out;
}

TNtfsRunList DecodeAttributeRuns(NtfsBytes rec, int64_t p, uint32_t attrLength) {
    const int64_t off = ReadLe16(rec, p + 32);
    return DecodeRunList(rec, p + off, static_cast<int64_t>(attrLength) - off);
}

bool ReadMftDataRuns(NtfsBytes record0, int64_t& dataSize, TNtfsRuns& runs) {
    dataSize = 0;
    runs.clear();
    bool ok = false;
    WalkMftAttributes(
        record0,
        [&](const TNtfsAttr& a) {
            if (a.Type != kAttrData || !a.NonResident) return true;
            dataSize = static_cast<int64_t>(ReadLe64(record0, a.P + 48));
            runs = DecodeAttributeRuns(record0, a.P, a.Length).Runs;
            ok = !runs.empty();
            return false;
        },
        64);
    return ok;
}

} // namespace brivo
