#pragma once
#include <vector>

#include "core/FoundFile.h"
#include "fat32/Fat32Volume.h"

namespace brivo {

// The data clusters whose FAT entry is 0, as merged byte runs of the volume. A FAT
// sector that cannot be read counts as free: its clusters are searched rather than lost.
std::vector<TByteExtent> FatFreeAreas(TFat32Volume& vol);

} // namespace brivo
