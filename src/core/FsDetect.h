#pragma once
#include <string>

#include "core/ByteReaders.h"

namespace brivo {

class TRawSource;

// File-system kinds of a source's first sector.
inline constexpr int kFsNotRecognised = 0;
inline constexpr int kFsNtfs = 1;
inline constexpr int kFsFat32 = 2;

inline constexpr size_t kBootSectorSize = 512;

// Classifies a first sector: 1 NTFS, 2 FAT32, 0 anything else (exFAT, FAT12/16, other
// file systems, partition tables, container formats). Fewer than 512 bytes give 0.
int DetectFileSystemFromBootSector(ByteSpan sector);

// Reads the first sector of an open source; a source shorter than 512 bytes, or one that
// cannot be read, gives 0.
int DetectFileSystemOfSource(const TRawSource& source);

// Opens src read-only, classifies its first sector and closes it again. A device path
// ("/dev/...") that cannot be opened or read gives 0 quietly: the engine route that the
// scan then takes reports the real problem. Any other path that cannot be opened raises
// std::runtime_error "<strerror>: <path>".
int DetectFileSystem(const std::string& src);

// The engine's file-system switch of a kind, with its leading blank: " -f ntfs",
// " -f fat", or empty for a source that was not recognised.
std::string FsSwitchForKind(int kind);

// "NTFS", "FAT32" or "not recognised".
std::string FsKindName(int kind);

} // namespace brivo
