#pragma once
#include "core/ByteSource.h"
#include "core/FoundFile.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"

namespace brivo {

// Lists the deleted files of the exFAT file system that starts at byte 0 of src by walking
// its live and deleted directories; with opts.Deep, also the directory entry sets left in
// free clusters (lost folders, a quick-formatted volume's old tree). Metadata addresses
// are the engine's, so its extractor can stand in. Polls report.StopRequested() once per
// directory and per block of the sweep, and returns what it found so far when asked to
// stop. Throws std::runtime_error when the source is not usable exFAT, TMaskError for a
// mask the matcher cannot use.
TReaderResult FastScanExFatDirect(TByteSource& src, TReaderReport& report, const TReaderOptions& opts);

} // namespace brivo
