#pragma once
#include "core/ByteSource.h"
#include "core/FoundFile.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"

namespace brivo {

// Lists the deleted files of the FAT file system that starts at byte 0 of src by walking
// its live and deleted directories. Runs on the scan's worker thread; polls
// report.StopRequested() once per directory and returns what it found so far when asked
// to stop. Throws std::runtime_error when the source is not usable FAT, TMaskError for a
// mask the matcher cannot use.
TReaderResult FastScanFat32Direct(TByteSource& src, TReaderReport& report, const TReaderOptions& opts);

} // namespace brivo
