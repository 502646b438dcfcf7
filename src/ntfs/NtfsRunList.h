#pragma once
#include <cstdint>

#include "ntfs/NtfsTypes.h"

namespace brivo {

// Decodes the runlist bytes [start, start + count) of a buffer. Each entry: a header byte
// (low nibble L = length-field bytes, high nibble O = offset-field bytes; 0 ends the
// list), L bytes of run length and O bytes of cluster offset relative to the previous
// run, both signed. An entry without an offset field (sparse) repeats the previous Lcn.
// Stops at the end of the range, the end of the buffer, or an entry cut short.
TNtfsRuns DecodeRunList(NtfsBytes buf, int64_t start, int64_t count);

// The $MFT's own data size and runs from the first non-resident $DATA of record 0.
// False when there is none or its runlist decodes to nothing.
bool ReadMftDataRuns(NtfsBytes record0, int64_t& dataSize, TNtfsRuns& runs);

} // namespace brivo
