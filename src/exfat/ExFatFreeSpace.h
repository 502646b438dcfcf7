#pragma once
#include <cstdint>
#include <vector>

#include "core/FoundFile.h"
#include "exfat/ExFatVolume.h"

namespace brivo {

// The heap clusters the allocation bitmap marks free, as merged byte runs of the volume;
// none when the bitmap could not be read.
std::vector<TByteExtent> ExFatFreeAreas(TExFatVolume& vol);

// Where the content of the listed files begins: the first cluster their stream extension
// entry (the entry after the file entry their address names) gives.
std::vector<uint64_t> ExFatKnownStarts(TExFatVolume& vol, const TFoundFiles& found);

} // namespace brivo
