#pragma once
#include <cstdint>
#include <string_view>

#include "core/FoundFile.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"

namespace brivo {

// Deleted files a listing left out, so the front end can say how many and offer them.
struct TFlsHidden {
    uint64_t ByMasks = 0;    // deleted files no mask matched
    uint64_t ByCleanup = 0;  // regular files with a dot-less name (README), taken for folders
    // The deleted folders listed (never results; the folder tree draws them as deleted).
    std::vector<std::string> DeletedFolders;
};

// The results of an fls listing ("-r -p -m / -d"): deleted regular files only, their
// " (deleted)" marker removed, with directories, alternate data streams, volume labels,
// $FILE_NAME entries, reallocated entries and synthetic areas dropped, and the masks
// applied when the list is not empty. A dot-less name counts as a folder unless cleanup
// is off and its mode says regular file. Listing order is kept. Accepts CR LF and LF.
TFoundFiles ParseFlsListing(std::string_view text, TScanWhere whereMode, const TMaskList& masks,
                            bool cleanup = true, TFlsHidden* hidden = nullptr);

// Replaces state.FFound with ParseFlsListing(text, ...) and records what it left out in
// FLastHiddenByMasks, FLastHiddenByCleanup and FDeletedFolders. UI thread.
void ParseFlsOutput(TScanState& state, TScanHost& host, std::string_view text, TScanWhere whereMode,
                    const TMaskList& masks, bool cleanup = true);

} // namespace brivo
