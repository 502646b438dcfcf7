#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "ntfs/NtfsTypes.h"
#include "platform/RawSource.h"

namespace brivo {

// An NTFS source opened read-only, with what the reader learned from its boot sector and
// from $MFT record 0.
struct TNtfsVolume {
    TRawSource Source;
    TNtfsGeometry Geo;
    int64_t MftDataSize = 0;
    TNtfsRuns MftRuns;
};

// Opens the source read-only. A device ("/dev/...") that cannot be opened gives false
// with errno in err, for the caller's message; an image file that cannot be opened
// raises std::runtime_error carrying the system's message and the path.
bool OpenNtfsSource(const std::string& path, TRawSource& source, int& err);

// Reads exactly out.size() bytes at offset. False on any error, a short read, a negative
// offset, or a range that lies past the end of a source of known size. Nothing is
// allocated here, so a hostile count cannot make the reader reserve memory.
bool ReadSourceInto(const TRawSource& source, int64_t offset, std::span<uint8_t> out);
// Sizes out to count (only after checking the range against the source) and reads it.
bool ReadSourceBytes(const TRawSource& source, int64_t offset, int64_t count, std::vector<uint8_t>& out);

// Bytes [offset, offset + count) of the $MFT's data stream, through its runs, one
// cluster at a time. False when a piece lies in no run or cannot be read.
bool ReadMftBytes(const TNtfsVolume& vol, int64_t offset, int64_t count, std::vector<uint8_t>& out);
// Record n through the $MFT runs, fixups applied.
bool ReadMftRecord(const TNtfsVolume& vol, uint64_t n, std::vector<uint8_t>& rec);

// a * b, or false when the product does not fit.
inline bool MulInt64(int64_t a, int64_t b, int64_t& out) { return !__builtin_mul_overflow(a, b, &out); }
inline bool AddInt64(int64_t a, int64_t b, int64_t& out) { return !__builtin_add_overflow(a, b, &out); }

} // namespace brivo
