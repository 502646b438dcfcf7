#pragma once
#include <string>

#include "core/FoundFile.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"

namespace brivo {

// The direct deleted-file scan of an NTFS source (device or image file): reads every
// $MFT record straight from the source, keeps every named record as a node of the folder
// tree, collects the deleted files that pass the masks and the cleanup filter with their
// size, time and condition, rebuilds their paths and replaces st.FFound with them.
// Runs on the scan worker thread and reports only through SafeLog / SafeProgress; polls
// st.StopRequested(). Failures that leave nothing to read raise std::runtime_error with
// the user's message; damaged records are counted and the scan goes on.
void FastScanNtfsDirect(TScanState& st, TScanHost& host, const std::string& src, const TMaskList& masks);

} // namespace brivo
