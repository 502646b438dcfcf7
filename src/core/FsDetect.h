#pragma once
#include <string>

#include "core/ByteReaders.h"

namespace brivo {

class TRawSource;

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

inline constexpr size_t kBootSectorSize = 512;

// Classifies a first sector: NTFS (IsNtfsBootSector), FAT12, FAT16 or FAT32
// (DecodeFatBootSector), or NotRecognised for anything else (exFAT, other file systems,
// partition tables, container formats). Fewer than 512 bytes are not recognised.
TFsKind DetectFileSystemFromBootSector(ByteSpan sector);

// Reads the first sector of an open source; a source shorter than 512 bytes, or one that
// cannot be read, is not recognised.
TFsKind DetectFileSystemOfSource(const TRawSource& source);

// Opens src read-only, classifies its first sector and closes it again. A device path
// ("/dev/...") that cannot be opened or read is not recognised, quietly: the engine route that the
// scan then takes reports the real problem. Any other path that cannot be opened raises
// std::runtime_error "<strerror>: <path>".
TFsKind DetectFileSystem(const std::string& src);

// The engine's file-system switch of a kind, with its leading blank: " -f ntfs",
// " -f fat" (FAT12, FAT16, FAT32), " -f exfat", or empty for a source that was not
// recognised (the engine then guesses).
std::string FsSwitchForKind(TFsKind kind);

// "NTFS", "FAT32", "FAT16", "FAT12", "exFAT" or "not recognised".
std::string FsKindName(TFsKind kind);

// A text written (and translated) for FAT32 with every "FAT32" in it replaced by the
// volume's own FAT width name ("FAT12", "FAT16"): the one reader serves all three.
std::string FatWidthText(const std::string& widthName, std::string text);

} // namespace brivo
