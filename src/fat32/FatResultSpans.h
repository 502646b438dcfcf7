#pragma once
#include <functional>
#include <memory>
#include <vector>

#include "core/ByteSource.h"
#include "core/FoundFile.h"
#include "core/ReaderResult.h"

namespace brivo {

// Where a FAT result's bytes lie in the volume, as far as the scan's own knowledge tells
// cheaply: its directory entry and the clusters its copy starts from (the planned ones, or
// the run that follows its first cluster for its size). For naming the results that touch
// areas the disk could not read. Empty for an address that names no entry, or a volume
// that is not FAT; volume must outlive the function.
using TFatSpansOf = std::function<std::vector<TByteExtent>(const TFoundFile&)>;
TFatSpansOf MakeFatResultSpans(TByteSource& volume, std::shared_ptr<const TClusterPlanMap> plans);

} // namespace brivo
