#pragma once
#include <cstdint>

#include "core/ByteReaders.h"
#include "ntfs/NtfsTypes.h"

namespace brivo {

// One attribute header seen by the walk, at offset P of the record.
struct TNtfsAttr {
    int64_t P = 0;
    uint32_t Type = 0;
    uint32_t Length = 0;
    bool NonResident = false;
    uint8_t NameLength = 0;
};

// Walks the attribute headers of a FILE record: from the offset at 20, while
// P + headerNeed lies inside the record, until type 0xFFFFFFFF or a length below 24 or
// reaching past the record. Only the buffer bounds the walk (bytes-in-use is not
// trusted), and each step moves forward by at least 24 bytes, so it always ends.
// fn returns false to stop early.
template <typename Fn>
void WalkMftAttributes(NtfsBytes rec, Fn&& fn, int64_t headerNeed = 24) {
    const int64_t size = static_cast<int64_t>(rec.size());
    int64_t p = ReadLe16(rec, 20);
    while (p + headerNeed <= size) {
        TNtfsAttr a;
        a.P = p;
        a.Type = ReadLe32(rec, p);
        if (a.Type == kAttrEnd) return;
        a.Length = ReadLe32(rec, p + 4);
        if (a.Length < 24 || p + static_cast<int64_t>(a.Length) > size) return;
        a.NonResident = ReadU8(rec, p + 8) != 0;
        a.NameLength = ReadU8(rec, p + 9);
        if (!fn(a)) return;
        p += a.Length;
    }
}

} // namespace brivo
