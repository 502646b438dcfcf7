#pragma once
#include <cstdint>

#include "ntfs/NtfsTypes.h"

namespace brivo {

// A decoded runlist, and whether it was read to its end marker with every field sound.
// A list that is not Complete holds the runs before the first entry it could not take.
struct TNtfsRunList {
    TNtfsRuns Runs;
    bool Complete = false;
};

// Decodes the runlist bytes [start, start + count) of a buffer. Each entry: a header byte
// (low nibble L = length-field bytes, high nibble O = offset-field bytes; a header with
// L = 0 ends the list), L bytes of run length, unsigned, and O bytes of cluster offset
// relative to the previous run, signed. An entry without an offset, or with an offset of
// 0, is sparse: it has no clusters and leaves the running cluster number alone.
// The walk stops, not Complete, at a field wider than 8 bytes, an entry cut short by the
// range or the buffer, or a length or cluster number that overflows.
TNtfsRunList DecodeRunList(NtfsBytes buf, int64_t start, int64_t count);

// The runlist of the non-resident attribute whose header is at p of a record: from the
// offset at p + 32 to the attribute's end.
TNtfsRunList DecodeAttributeRuns(NtfsBytes rec, int64_t p, uint32_t attrLength);

// The $MFT's own data size and runs from the first non-resident $DATA of record 0.
// False when there is none or its runlist decodes to nothing.
bool ReadMftDataRuns(NtfsBytes record0, int64_t& dataSize, TNtfsRuns& runs);

} // namespace brivo
