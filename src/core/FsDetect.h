#pragma once
#include <string>

#include "core/ByteReaders.h"
#include "core/FileSystems.h"

namespace brivo {

class TRawSource;

inline constexpr size_t kBootSectorSize = 512;

// Classifies the first bytes of a volume (at least a sector, up to kDetectBytes; more are
// not looked at) by asking the rows of the file-system table in order (NTFS, exFAT, FAT32,
// FAT16, FAT12, ...). NotRecognised for anything no row takes (other file systems,
// partition tables, container formats) and for fewer than 512 bytes.
TFsKind DetectFileSystemFromHead(ByteSpan head);

// Reads the first kDetectBytes of an open source (a shorter source: what it holds); a
// source shorter than 512 bytes, or one that cannot be read, is not recognised.
TFsKind DetectFileSystemOfSource(const TRawSource& source);

// Opens src read-only, classifies its first bytes and closes it again. A device path
// ("/dev/...") that cannot be opened or read is not recognised, quietly: the engine route that the
// scan then takes reports the real problem. Any other path that cannot be opened raises
// std::runtime_error "<strerror>: <path>".
TFsKind DetectFileSystem(const std::string& src);

// A text written (and translated) for FAT32 with every "FAT32" in it replaced by the
// volume's own FAT width name ("FAT12", "FAT16"): the one reader serves all three.
std::string FatWidthText(const std::string& widthName, std::string text);

} // namespace brivo
