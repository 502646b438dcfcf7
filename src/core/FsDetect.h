#pragma once
#include <string>

#include "core/ByteReaders.h"
#include "core/FileSystems.h"

namespace brivo {

class TRawSource;

inline constexpr size_t kBootSectorSize = 512;

// Classifies a first sector: NTFS (IsNtfsBootSector), FAT12, FAT16 or FAT32
// (DecodeFatBootSector), or NotRecognised for anything else (exFAT, other file systems,
// partition tables, container formats). Fewer than 512 bytes are not recognised.
TFsKind DetectFileSystemFromBootSector(ByteSpan sector);

// True for the main boot sector of an exFAT volume.
bool IsExFatBootSector(ByteSpan sector);

// Reads the first sector of an open source; a source shorter than 512 bytes, or one that
// cannot be read, is not recognised.
TFsKind DetectFileSystemOfSource(const TRawSource& source);

// Opens src read-only, classifies its first sector and closes it again. A device path
// ("/dev/...") that cannot be opened or read is not recognised, quietly: the engine route that the
// scan then takes reports the real problem. Any other path that cannot be opened raises
// std::runtime_error "<strerror>: <path>".
TFsKind DetectFileSystem(const std::string& src);

// A text written (and translated) for FAT32 with every "FAT32" in it replaced by the
// volume's own FAT width name ("FAT12", "FAT16"): the one reader serves all three.
std::string FatWidthText(const std::string& widthName, std::string text);

} // namespace brivo
