#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace brivo {

// A TDateTime: days since 1899-12-30, the fraction being the time of day.
using TDateTime = double;

// How a result was found: listed by the file system's metadata (live or deleted
// entries), by a deep sweep of free space for lost metadata (folders, records), or by
// its content alone (a file start recognised in free space).
enum class TFoundBy : uint8_t { Metadata = 0, DeepSweep = 1, Content = 2 };

// A run of bytes in the scanned volume, from its first byte.
struct TByteExtent {
    uint64_t Offset = 0;
    uint64_t Length = 0;
    bool operator==(const TByteExtent&) const = default;
};

// One deleted file found by a scanner. A value type: arrays hold copies.
//
// Where its bytes are: a metadata address (Inode, in the engine's form, which every
// extractor of the volume's file system understands), or, for a result that no metadata
// describes any more (content search), the byte extents of its content in the volume,
// in order. A result with extents is read from them and nothing else.
struct TFoundFile {
    // Strings and wide fields first, the small ones together at the end (208 bytes): a
    // scan may hold millions of these.
    std::string Inode;      // metadata address in the engine's form; empty for a content result
    std::string FullPath;   // "/" or "\" separated, with or without a leading "/"
    std::string FileType;
    std::string DamageText = "Unknown";
    std::vector<TByteExtent> Extents;  // content results: where the bytes are
    int64_t SizeBytes = 0;  // -1 when the engine printed no number
    TDateTime ModDateUtc = 0;
    TDateTime CreateDateUtc = 0;  // when the file was made, where its file system keeps it
    int16_t DamageScore = -1;   // 0 to 100; -1: no estimate
    TFoundBy FoundBy = TFoundBy::Metadata;
    bool IsDeleted = true;
    bool IsDir = false;
    bool HasModDate = false;
    bool HasCreateDate = false;
    // A name whose content its file system no longer places: the paths of the results
    // the content search found in the same area with the same kind, shown beside it and
    // never taken for its content without proof. Empty for every other result.
    std::vector<std::string> Candidates;
};

using TFoundFiles = std::vector<TFoundFile>;
using TMaskList = std::vector<std::string>;

// Ordinals equal the Where-to-Scan list index.
enum class TScanWhere : int { swDisk = 0, swDiskImage = 1, swFolder = 2, swRecycleBin = 3 };

} // namespace brivo
