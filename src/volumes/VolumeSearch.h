#pragma once
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "core/ByteReaders.h"
#include "core/ByteSource.h"

namespace brivo {

// A search for volumes whose partition table entry is gone: file-system starts found by
// their boot sector (NTFS, FAT12/16/32, exFAT) or superblock (ext2/3/4), each checked
// against its backup copy and against the structure it points to.

enum class TSearchFamily { Ntfs, Fat, ExFat, Ext };

// What one boot sector or superblock copy says about the volume it belongs to.
struct TBootFacts {
    TSearchFamily Family = TSearchFamily::Ntfs;
    uint64_t LengthBytes = 0;
    uint32_t BytesPerSector = 512;
    // Where this copy lies, in bytes from the volume's start (a boot sector 0, a
    // primary superblock 1024, an ext backup in its group).
    uint64_t SelfOffset = 0;
    // Where the primary copy and the backup copy lie from the volume's start; the
    // backup is 0 when the file system keeps none.
    uint64_t MainOffset = 0;
    uint64_t BackupOffset = 0;
    // Where the structure the copy points to starts (the FAT, the $MFT, the first group
    // descriptor), from the volume's start.
    uint64_t StructureOffset = 0;
    uint64_t Serial = 0;  // the volume serial number or the first half of the UUID
    uint8_t Media = 0;    // FAT: the media byte its FAT starts with
    // Facts that agree describe the same volume (a copy's own position aside).
    bool SameVolume(const TBootFacts& o) const {
        return Family == o.Family && LengthBytes == o.LengthBytes && BytesPerSector == o.BytesPerSector &&
               StructureOffset == o.StructureOffset && Serial == o.Serial && MainOffset == o.MainOffset &&
               BackupOffset == o.BackupOffset;
    }
};

// A 512-byte (or longer) sector read as an NTFS, FAT or exFAT boot sector. Empty when
// its fields are not those of a volume that could exist. The copy is taken as the
// primary one (SelfOffset 0); the caller knows whether it was found as a backup.
std::optional<TBootFacts> ReadBootSectorFacts(ByteSpan sector);
// 1024 bytes read as an ext2/3/4 superblock (primary or a group's backup).
std::optional<TBootFacts> ReadExtSuperblockFacts(ByteSpan superblock);
// The first bytes of the structure a copy points to look like it: a FAT's first entry
// with the media byte, an exFAT FAT's first entry, an $MFT record, an ext group
// descriptor whose bitmaps lie inside the volume.
bool StructureLooksRight(const TBootFacts& facts, ByteSpan bytes);

struct TFoundVolume {
    uint64_t StartByte = 0;
    uint64_t LengthBytes = 0;
    TSearchFamily Family = TSearchFamily::Ntfs;
    bool BootSector = false;   // the primary boot sector or superblock is there and agrees
    bool Backup = false;       // the backup copy is there and agrees
    bool Structure = false;    // what the copy points to is there
    // Where the backup copy lies from the start (0: none); with the primary copy gone a
    // reader is shown the backup in its place.
    uint64_t BackupOffset = 0;
    uint32_t BytesPerSector = 512;
    // "boot sector", "backup", "boot sector and backup" (superblock for ext).
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
