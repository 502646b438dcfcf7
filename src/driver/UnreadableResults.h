#pragma once
#include <cstdint>
#include <functional>
#include <string>

#include "core/FoundFile.h"
#include "core/UnreadableMap.h"
#include "driver/FsReaders.h"

namespace brivo {

// The scan's closing word on what the disk would not give: "N areas (X KiB) could not be
// read (bad sectors?); ...". Empty when everything was read.
std::string UnreadableWarningText(const TUnreadableMap& map,
                                  const std::function<std::string(const std::string&)>& translate = {});

// Puts "Unreadable parts" before the condition of every result whose extents, or whose
// spans as the reader knows them (spansOf, may be empty), touch the map. Returns how many.
uint64_t MarkUnreadableResults(TFoundFiles& found, const TUnreadableMap& map, const TResultSpans& spansOf,
                               const std::function<std::string(const std::string&)>& translate = {});

} // namespace brivo
