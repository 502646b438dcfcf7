#include "ntfs/NtfsRunList.h"

#include "core/ByteReaders.h"
#include "ntfs/NtfsAttributeWalk.h"

namespace brivo {

namespace {
// Wrapping adds: hostile lists may push the values anywhere, and every consumer checks
// the runs it uses against the source anyway.
int64_t WrapAdd(int64_t a, int64_t b) {
    return static_cast<int64_t>(static_cast<uint64_t>(a) + static_cast<uint64_t>(b));
}
} // namespace

TNtfsRuns DecodeRunList(NtfsBytes buf, int64_t start, int64_t count) {
    TNtfsRuns runs;
    const int64_t size = static_cast<int64_t>(buf.size());
    if (start < 0 || count <= 0) return runs;
    const int64_t end = (count > size - start) ? size : start + count;
    int64_t pos = start, vcn = 0, lcn = 0;
    while (pos < end && pos < size) {
        const uint8_t h = buf[static_cast<size_t>(pos)];
        ++pos;
        if (h == 0) break;
        const int l = h & 0x0F, o = h >> 4;
        if (l == 0 || pos + l + o > size) break;
        const int64_t clusters = ReadLeSigned(buf, pos, l);
        pos += l;
        const int64_t delta = (o >= 1 && o <= 8) ? ReadLeSigned(buf, pos, o) : 0;
        pos += o;
        lcn = WrapAdd(lcn, delta);
        runs.push_back({vcn, lcn, clusters, o == 0});
        vcn = WrapAdd(vcn, clusters);
    }
    return runs;
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
            const int64_t off = ReadLe16(record0, a.P + 32);
            runs = DecodeRunList(record0, a.P + off, static_cast<int64_t>(a.Length) - off);
            ok = !runs.empty();
            return false;
        },
        64);
    return ok;
}

} // namespace brivo
