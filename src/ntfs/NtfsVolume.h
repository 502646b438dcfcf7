#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "core/ByteSource.h"
#include "ntfs/NtfsTypes.h"

namespace brivo {

// An NTFS volume seen through a byte source, with what the reader learned from its boot
// sector and from $MFT record 0. The source is not owned: whoever loads the volume keeps
// it alive for as long as the volume is used.
struct TNtfsVolume {
    TByteSource* Source = nullptr;
    TNtfsGeometry Geo;
    int64_t MftDataSize = 0;
    TNtfsRuns MftRuns;
    TNtfsBootCopy BootCopy = TNtfsBootCopy::None;  // which boot sector the geometry came from
};

// Reads the boot sector (or its backup at the volume's end) and $MFT record 0 of src into vol. Raises std::runtime_error
// with the user's message (passed through translate) when the source is no NTFS volume
// or its $MFT cannot be located.
void LoadNtfsVolume(TByteSource& src, TNtfsVolume& vol, const TTranslateFn& translate = {});

// Reads exactly out.size() bytes at offset. False on any error, a short read, a negative
// offset, or a range that lies past the end of a source of known size. Nothing is
// allocated here, so a hostile count cannot make the reader reserve memory.
bool ReadSourceInto(TByteSource& source, int64_t offset, std::span<uint8_t> out);
// Sizes out to count (only after checking the range against the source) and reads it.
bool ReadSourceBytes(TByteSource& source, int64_t offset, int64_t count, std::vector<uint8_t>& out);

// Bytes [offset, offset + count) of the $MFT's data stream, through its runs, one
// cluster at a time. False when a piece lies in no run or cannot be read.
bool ReadMftBytes(const TNtfsVolume& vol, int64_t offset, int64_t count, std::vector<uint8_t>& out);
// Record n through the $MFT runs, fixups applied.
bool ReadMftRecord(const TNtfsVolume& vol, uint64_t n, std::vector<uint8_t>& rec);

// a * b, or false when the product does not fit.
inline bool MulInt64(int64_t a, int64_t b, int64_t& out) { return !__builtin_mul_overflow(a, b, &out); }
inline bool AddInt64(int64_t a, int64_t b, int64_t& out) { return !__builtin_add_overflow(a, b, &out); }

} // namespace brivo
