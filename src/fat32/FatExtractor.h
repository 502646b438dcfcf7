#pragma once
#include <memory>

#include "core/ByteSource.h"
#include "core/Extractor.h"
#include "fat32/FatFragments.h"

namespace brivo {

// Copies FAT results (FAT12, FAT16, FAT32) straight from the volume, byte for byte as the
// engine's `icat -R` copies them from the same address:
// - a deleted file (its entry marked deleted, or in a directory cluster the FAT marks free)
//   is read from its first cluster onward for its size, passing over every cluster the FAT
//   hands out to something else;
// - a live file follows its FAT chain.
// A deleted file whose address has a plan in `plans` is read from the plan's clusters
// instead (the plan may stop short: then only what its clusters hold is written).
// Whatever cannot be copied this way goes to `fallback` (the engine's extractor): an
// address that is not a file entry, a deleted file whose first cluster is in use again or
// whose clusters run past the end of the volume, a broken chain, a volume whose boot
// sector cannot be used. With no fallback those throw std::runtime_error.
std::unique_ptr<TExtractor> MakeFatExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                             std::shared_ptr<const TFatClusterPlans> plans = {});

} // namespace brivo
