#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/ByteReaders.h"
#include "core/ByteSource.h"
#include "core/FileSystems.h"

namespace brivo {

// A search for volumes whose partition table entry is gone: file-system starts found by
// the copies the rows of the file-system table (and its search-only rows) recognise, a
// boot sector or a superblock, each checked against its backup copy and against the
// structure it points to. No kind is named here.

// The first bytes of a volume read as each row's primary copy (at the row's CopyOffset),
// in table order: what the first row that takes them says. Empty when none does.
std::optional<TVolumeFacts> ReadVolumeFacts(ByteSpan head);

struct TFoundVolume {
    uint64_t StartByte = 0;
    uint64_t LengthBytes = 0;
    const TFsInfo* Fs = nullptr;  // the row whose copy was found
    bool BootSector = false;   // the primary boot sector or superblock is there and agrees
    bool Backup = false;       // the backup copy is there and agrees
    bool Structure = false;    // what the copy points to is there
    // Where the backup copy lies from the start (0: none); with the primary copy gone a
    // reader is shown the backup in its place.
    uint64_t BackupOffset = 0;
    // Where the primary copy lies and how much of it a copy is, for putting the backup in
    // its place.
    uint64_t MainOffset = 0;
    uint64_t CopyBytes = 512;
    uint32_t BytesPerSector = 512;
    // "boot sector", "backup boot sector", "boot sector and backup" (the row's CopyName).
    std::string Evidence() const;
    // Higher is more trustworthy: a backup that agrees weighs most.
    int Score() const { return (Backup ? 2 : 0) + (BootSector ? 1 : 0) + (Structure ? 1 : 0); }
};

enum class TSearchDepth {
    None,         // no search: what the table and the first sectors say
    Aligned,      // volume starts at 1 MiB and cylinder (63-sector track) boundaries: quick
    EverySector,  // every 512 bytes, read in large sequential pieces
};

// Called now and then with bytes searched and bytes to search; false stops the search.
using TSearchProgress = std::function<bool(uint64_t done, uint64_t total)>;

struct TSpanRange {
    uint64_t Begin = 0;
    uint64_t End = 0;
};

struct TSearchOutcome {
    std::vector<TFoundVolume> Volumes;  // by start, then by score
    bool Stopped = false;               // the progress callback ended it early
};

// Searches disk for volumes starting inside ranges (bytes). Starts are multiples of
// alignBytes (the partition table's sector size). Never throws on what it reads; an
// unreadable piece is passed over.
TSearchOutcome SearchVolumes(TByteSource& disk, const std::vector<TSpanRange>& ranges, TSearchDepth depth,
                             uint32_t alignBytes = 512, const TSearchProgress& progress = {});

} // namespace brivo
