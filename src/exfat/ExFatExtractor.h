#pragma once
#include <memory>

#include "core/ByteSource.h"
#include "core/Extractor.h"

namespace brivo {

// Copies exFAT results straight from the volume. A result is found again from its
// metadata address alone (the entry set is read again there and its checksum checked; a
// set cut by its folder's cluster end is taken as the scan took it, from its File and
// Stream Extension entries), so results of the walk and of the deep sweep need nothing
// handed over from the scan.
// - no FAT chain: consecutive clusters from the first one;
// - a chain: along the FAT while it is believable (for a deleted file: free clusters, no
//   loop, as long as the data), else from the first cluster on past clusters in use;
// - bytes past the valid data length are written as zeros, as the file system reads them.
// Whatever cannot be copied this way goes to `fallback` (the engine's extractor): an
// address that holds no entry set any more, a deleted chained file whose first cluster is
// in use again, clusters running past the volume. (A file without a chain is copied from
// its clusters even when they are in use again: that is what the engine gives too, and
// its condition says "Overwritten".) With no fallback those throw
// std::runtime_error with the user's message.
std::unique_ptr<TExtractor> MakeExFatExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback);

} // namespace brivo
