#pragma once
#include "core/ByteSource.h"
#include "core/FoundFile.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"

namespace brivo {

// The direct deleted-file scan of an NTFS volume: reads every $MFT record straight from
// the source, keeps every named record as a node of the folder tree, collects the deleted
// files that pass the masks and the cleanup filter with their size, time and condition,
// rebuilds their paths and returns them, with counts of the deleted files the masks and
// the cleanup filter left out. The cleanup filter applies when opts.Cleanup is set and
// the masks are the default ones (a custom mask asks for files the filter would hide).
// A deleted file's named streams are results of their own, "name:stream".
// Runs on the scan worker thread and reports only through `report`, which it also polls
// for Stop: a stopped scan ends its record pass and returns, with their paths, the files
// of the records read so far. Failures that leave nothing to read raise
// std::runtime_error with the user's message; damaged records are counted and the scan
// goes on. A result's Inode is the address icat takes: the record number, and
// "<record>-128-<id>" for a named stream.
TReaderResult FastScanNtfsDirect(TByteSource& src, TReaderReport& report, const TReaderOptions& opts);

} // namespace brivo
