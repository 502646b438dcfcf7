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
// - a deleted file whose first cluster is in use again (overwritten) gives that cluster, up
//   to its size;
// - a live file follows its FAT chain as far as the chain goes.
// A deleted file whose address has a plan in `plans` is read from the plan's clusters
// instead. Where the clusters stop short (a plan, free clusters that run out at the end of
// the volume, a chain that ends early) only what they hold is written; the engine writes
// nothing for a file that runs off the volume.
// What cannot be copied this way goes to `fallback` (the engine's extractor): an address that
// is not a file entry, a first cluster or chain outside the volume, a volume whose boot sector
// cannot be used. With no fallback those throw std::runtime_error saying why.
std::unique_ptr<TExtractor> MakeFatExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                             std::shared_ptr<const TFatClusterPlans> plans = {});

} // namespace brivo
