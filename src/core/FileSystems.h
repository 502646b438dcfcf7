#pragma once
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "core/ByteReaders.h"

namespace brivo {

class TByteSource;

// File-system kinds a volume's first bytes can name. The numbers are the ones written in
// the CLI's JSON "kind" field, so existing values never change.
enum class TFsKind : int {
    NotRecognised = 0,
    Ntfs = 1,
    Fat32 = 2,
    Fat12 = 3,
    Fat16 = 4,
    ExFat = 5,
    Ext2 = 6,
    Ext3 = 7,
    Ext4 = 8,
};

// The bytes a detection reads from the start of a volume: enough for a boot sector at 0
// and a superblock at 1024.
inline constexpr size_t kDetectBytes = 4096;

// What one copy of a boot sector or superblock says about the volume it belongs to, as
// the search for lost volumes and the volume list weigh it.
struct TVolumeFacts {
    TFsKind Kind = TFsKind::NotRecognised;
    uint64_t LengthBytes = 0;
    uint32_t BytesPerSector = 512;  // the unit of its sizes (a block, for a superblock)
    // Where this copy lies, in bytes from the volume's start (a boot sector 0, a primary
    // superblock 1024, a backup superblock in its group).
    uint64_t SelfOffset = 0;
    // True when the copy cannot tell whether it is the primary or the backup (a boot
    // sector): it is then tried as both.
    bool MayBeBackup = false;
    // Where the primary copy and the backup copy lie from the volume's start; the backup
    // is 0 when the file system keeps none. CopyBytes: how much a copy is (what is shown
    // to a reader in place of a lost primary).
    uint64_t MainOffset = 0;
    uint64_t BackupOffset = 0;
    uint64_t CopyBytes = 512;
    // Where the structure the copy points to starts (the FAT, the $MFT, the first group
    // descriptor), from the volume's start.
    uint64_t StructureOffset = 0;
    uint64_t Serial = 0;  // the volume serial number or the first half of the UUID
    uint8_t Media = 0;    // FAT: the media byte its FAT starts with
    // The unit its files are written in (a cluster, an ext block), where files in pieces
    // break; not a fact that tells volumes apart.
    uint32_t ClusterBytes = 0;
    // Facts that agree describe the same volume (a copy's own position aside).
    bool SameVolume(const TVolumeFacts& o) const {
        return Kind == o.Kind && LengthBytes == o.LengthBytes && BytesPerSector == o.BytesPerSector &&
               StructureOffset == o.StructureOffset && Serial == o.Serial && MainOffset == o.MainOffset &&
               BackupOffset == o.BackupOffset;
    }
};

// What the program knows about a file-system kind before any reader runs, one row per
// kind: its names, how its first bytes are recognised and what its boot sector or
// superblock says. Detection (core/FsDetect), the volume probe and the search for lost
// volumes ask the rows in table order and never name a kind. How a kind is read (a
// direct reader or the engine's listing, its extractor, a deep sweep) is the driver's
// table (driver/FsReaders).
struct TFsInfo {
    TFsKind Kind;
    const char* Name;      // "NTFS", "FAT32", ...
    const char* EngineFs;  // the engine's -f value: "ntfs", "fat", "exfat"
    const char* CopyName;  // what its first copy is called: "boot sector", "superblock"
    // Where its primary copy lies in the volume's first bytes, and how many bytes of it
    // the decoders below read.
    uint32_t CopyOffset;
    uint32_t CopyBytes;
    // A 16-bit little-endian mark at this offset in a copy makes a sector worth a closer
    // look in the search for lost volumes (0xAA55 at 510, a superblock's magic).
    uint32_t MarkAt;
    uint16_t Mark;
    // The volume's first bytes (up to kDetectBytes; fewer when the volume is shorter) are
    // of this kind.
    bool (*Recognise)(ByteSpan head);
    // One copy (CopyBytes at CopyOffset, or a backup) read as this kind's; nothing when its
    // fields are not those of a volume that could exist, or name another row's kind.
    std::optional<TVolumeFacts> (*Facts)(ByteSpan copy);
    // The first bytes of the structure the copy points to look like it.
    bool (*StructureLooksRight)(const TVolumeFacts& facts, ByteSpan bytes);
    // For a kind whose copy is a volume boot record: a first sector that starts such a
    // volume and not a partition table (null: the kind has none).
    bool (*IsVolumeBootRecord)(ByteSpan sector) = nullptr;
    // For a kind whose reader can start from a backup: the volume holds one where its
    // first bytes say nothing (null: the kind keeps none that a reader uses).
    bool (*HasUsableBackup)(TByteSource& volume) = nullptr;
};

// Every kind detection can give, one row each, in the order detection asks them.
std::span<const TFsInfo> FileSystemTable();
// The row of a kind; nothing for NotRecognised.
const TFsInfo* FindFileSystem(TFsKind kind);

// File systems the search for lost volumes finds though no row above detects them (a
// superblock it weighs before any reader of its kind exists). Never asked by detection.
std::span<const TFsInfo> SearchOnlyFileSystems();
// 1024 bytes read as an ext2/3/4 superblock (primary or a group's backup) for the search:
// where its copies and first group descriptor lie, kind NotRecognised. The ext rows take
// it with the kind of the superblock's full decoding (core/ExtSuperblock).
std::optional<TVolumeFacts> ReadExtSuperblockFacts(ByteSpan superblock);

// The engine's file-system switch of a kind, with its leading blank: " -f ntfs",
// " -f fat" (FAT12, FAT16, FAT32), " -f exfat", or empty for a source that was not
// recognised (the engine then guesses).
std::string FsSwitchForKind(TFsKind kind);

// The row's name ("NTFS", "FAT32", "FAT16", "FAT12", "exFAT", "ext4", ...) or "not recognised".
std::string FsKindName(TFsKind kind);

} // namespace brivo
