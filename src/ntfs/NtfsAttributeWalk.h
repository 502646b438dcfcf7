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
    uint8_t NameLength = 0;  // UTF-16 units; 0 for the unnamed stream
    uint16_t Flags = 0;      // compression (low byte), encryption 0x4000, sparse 0x8000
    uint16_t Id = 0;
};

// How a walk ended.
enum class TNtfsWalkEnd {
    EndMarker,  // type 0xFFFFFFFF
    Stopped,    // the callback returned false
    Broken,     // a length below 24, an attribute or header reaching past the record
};

// Walks the attribute headers of a FILE record (fixups applied) from the offset at 20.
// Each attribute needs headerNeed bytes inside the record. Only the buffer bounds the walk
// (bytes-in-use is not trusted), and each step moves forward by at least 24 bytes, so it
// always ends. fn returns false to stop early.
template <typename Fn>
TNtfsWalkEnd WalkMftAttributes(NtfsBytes rec, Fn&& fn, int64_t headerNeed = 24) {
    const int64_t size = static_cast<int64_t>(rec.size());
    int64_t p = ReadLe16(rec, 20);
    while (p + 4 <= size) {
        TNtfsAttr a;
        a.P = p;
        a.Type = ReadLe32(rec, p);
        if (a.Type == kAttrEnd) return TNtfsWalkEnd::EndMarker;
        if (p + headerNeed > size) break;
        a.Length = ReadLe32(rec, p + 4);
        if (a.Length < 24 || p + static_cast<int64_t>(a.Length) > size) break;
        a.NonResident = ReadU8(rec, p + 8) != 0;
        a.NameLength = ReadU8(rec, p + 9);
        a.Flags = ReadLe16(rec, p + 12);
        a.Id = ReadLe16(rec, p + 14);
        if (!fn(a)) return TNtfsWalkEnd::Stopped;
        p += a.Length;
    }
    return TNtfsWalkEnd::Broken;
}

} // namespace brivo
