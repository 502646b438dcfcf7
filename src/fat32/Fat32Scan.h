#pragma once
#include <string>

#include "core/FoundFile.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"

namespace brivo {

// Lists the deleted files of the FAT32 file system that starts at byte 0 of src (a device
// or an image) by walking its live and deleted directories, and replaces st.FFound with
// them. Runs on the scan's worker thread; polls st.StopRequested() once per directory.
// Throws std::runtime_error when the source cannot be opened or is not usable FAT32.
void FastScanFat32Direct(TScanState& st, TScanHost& host, const std::string& src, const TMaskList& masks);

} // namespace brivo
