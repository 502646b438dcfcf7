#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/ByteSource.h"
#include "core/Extractor.h"
#include "ext/ExtFileMap.h"

namespace brivo {

// Where a result's content lies when its inode on the disk no longer says (a map found in
// the journal): its size and runs, keyed by the result's address.
struct TExtPlan {
    uint64_t Size = 0;
    std::vector<TExtRun> Runs;
};
using TExtPlanMap = std::unordered_map<std::string, TExtPlan>;

// Copies ext results straight from the volume by their inode number, as the engine's icat
// does: the inode's extents or block map (holes and unwritten extents as zeros), inline
// data, up to its size. A result whose address is in plans is read from the plan's runs
// instead. What cannot be copied this way (no inode there, a map that is gone while the
// size says there is content, blocks past the volume) goes to `fallback`; with none it
// throws std::runtime_error with the user's message. Reads a run at a time in chunks of at
// most 1 MiB.
std::unique_ptr<TExtractor> MakeExtExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                             std::shared_ptr<const TExtPlanMap> plans = nullptr);

} // namespace brivo
