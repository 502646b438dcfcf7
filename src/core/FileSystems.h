#pragma once
#include <span>
#include <string>

namespace brivo {

// File-system kinds of a source's first sector. The numbers are the ones written in the
// CLI's JSON "kind" field, so existing values never change.
enum class TFsKind : int {
    NotRecognised = 0,
    Ntfs = 1,
    Fat32 = 2,
    Fat12 = 3,
    Fat16 = 4,
    ExFat = 5,
};

// What the program knows about a file-system kind before any reader runs: its name as
// shown, and the engine's name for it (its -f value). How a kind is read (a direct
// reader or the engine's listing, its extractor, a deep sweep) is the driver's table.
struct TFsInfo {
    TFsKind Kind;
    const char* Name;      // "NTFS", "FAT32", ...
    const char* EngineFs;  // "ntfs", "fat", "exfat"
};

// Every kind the boot-sector detection can give, one row each.
std::span<const TFsInfo> FileSystemTable();
// The row of a kind; nothing for NotRecognised.
const TFsInfo* FindFileSystem(TFsKind kind);

// The engine's file-system switch of a kind, with its leading blank: " -f ntfs",
// " -f fat" (FAT12, FAT16, FAT32), " -f exfat", or empty for a source that was not
// recognised (the engine then guesses).
std::string FsSwitchForKind(TFsKind kind);

// "NTFS", "FAT32", "FAT16", "FAT12", "exFAT" or "not recognised".
std::string FsKindName(TFsKind kind);

} // namespace brivo
