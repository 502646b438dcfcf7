#pragma once
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/ByteSource.h"
#include "core/Extractor.h"
#include "core/FileSystems.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"

namespace brivo {

// Which way a scan reads its source: one of the direct readers, or the engine's listing.
enum class TScanRoute { Ntfs, Fat32, ExFat, Ext, Fls, Content };

// A direct reader over the chosen volume's bytes; the driver writes FFound from what it
// returns.
using TDirectScan = std::function<TReaderResult(TByteSource&, TReaderReport&, const TReaderOptions&)>;

// Makes the extractor of a direct reader's results over a fresh opening of the same
// volume. plans: what the scan learned about where content lies (the reader's
// TReaderResult::ClusterPlans, null until the scan has returned); fallback: the engine's
// extractor for what the reader leaves, or null where the engine cannot read the source.
using TReaderExtractorFactory = std::function<std::unique_ptr<TExtractor>(
    TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback, std::shared_ptr<const TClusterPlanMap> plans)>;

// Where a result's metadata and content lie in the volume, as far as a reader can tell
// without reading much: made once per scan over its volume (which outlives it), then
// asked per result. For naming the results that touch what the disk could not read.
using TResultSpans = std::function<std::vector<TByteExtent>(const TFoundFile&)>;
using TResultSpansFactory = std::function<TResultSpans(TByteSource& volume, std::shared_ptr<const TClusterPlanMap> plans)>;

// The bytes of the records a result was listed from (its $MFT record, its directory entry
// or entry set), as the volume holds them now; empty when the result names none or they
// cannot be read. Made once over a volume that outlives it. A saved scan keeps a hash of
// them per result, so that it is never reopened over records that have changed since.
using TResultRecords = std::function<std::vector<uint8_t>(const TFoundFile&)>;
using TResultRecordsFactory = std::function<TResultRecords(TByteSource& volume)>;

// How one kind of file system is read: the file-system table's driver half (its other
// half, core/FileSystems, names the kinds and their engine switches). A kind with no row
// here goes to the engine's listing and its files are copied by icat.
struct TFsReader {
    TFsKind Kind;
    TScanRoute Route;
    const char* RouteName;  // the command line's "route": "ntfs", "fat32", "exfat", "ext"
    const char* ScanName;   // as in the log: "Fast NTFS records after scope filtering"
    TDirectScan Scan;
    TReaderExtractorFactory MakeExtractor;
    TResultSpansFactory ResultSpans = {};  // empty: only a result's own extents are known
    TResultRecordsFactory Records = {};     // empty: the results' records are not known
};

// A deep scan of a volume no signature names: every sector is searched for the
// FILE records of an NTFS volume whose boot sector (and its backup) is lost, their files
// listed with paths rebuilt from the records found. With FreeSpaceReadAfter the sweep is
// left to the content search's reading of the whole volume (a Watcher, no free areas).
TReaderResult ScanLostNtfsRecords(TByteSource& volume, TReaderReport& report, const TReaderOptions& opts);
// The extractor of those results; anything else goes to fallback.
std::unique_ptr<TExtractor> MakeLostNtfsRecordExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback);

// The row of a kind, or null: the engine reads it.
const TFsReader* FindFsReader(TFsKind kind);
// Every row, in table order (the FAT widths share one reader, so one route may repeat).
std::span<const TFsReader> FsReaderTable();
// "ntfs", "fat32", "fls" (the engine's listing).
std::string RouteName(TScanRoute route);
// The names of the file systems read directly, in table order, for help texts:
// "NTFS, FAT32, FAT16, FAT12 and exFAT".
std::string DirectFileSystemNames();

} // namespace brivo
