#pragma once
#include <string_view>

#include "core/FoundFile.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"

namespace brivo {

// The results of an fls listing ("-r -p -m / -d"): deleted regular files only, their
// " (deleted)" marker removed, with directories, alternate data streams, volume labels,
// $FILE_NAME entries, reallocated entries and synthetic areas dropped, and the masks
// applied when the list is not empty. Listing order is kept. Accepts CR LF and LF.
TFoundFiles ParseFlsListing(std::string_view text, TScanWhere whereMode, const TMaskList& masks);

// Replaces state.FFound with ParseFlsListing(text, ...). UI thread.
void ParseFlsOutput(TScanState& state, TScanHost& host, std::string_view text, TScanWhere whereMode,
                    const TMaskList& masks);

} // namespace brivo
