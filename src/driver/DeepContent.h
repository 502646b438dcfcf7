#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/ByteSource.h"
#include "core/FoundFile.h"
#include "core/ReaderReport.h"

namespace brivo {

// The content phase of a deep scan: after the file system has listed what its metadata
// knows, its free space is searched for files by their content.
struct TFreeSpaceSearch {
    // The free byte runs of the volume; with AreasKnown false, the whole volume.
    std::vector<TByteExtent> Areas;
    bool AreasKnown = false;
    // Where the listed files' content starts: content finds there are dropped.
    std::vector<uint64_t> KnownStarts;
    // Extensions to look for; empty: every kind.
    std::vector<std::string> Types;
    // The volume's allocation unit (cluster, block), the grid a file's pieces lie on; 0
    // reads it from the volume's boot sector or superblock (VolumeClusterBytes).
    uint32_t ClusterBytes = 0;
    // Shown every block the search reads (see TCarveOptions::EachBlock).
    std::function<void(uint64_t at, std::span<const uint8_t> bytes, uint64_t starts)> EachBlock;
};

// Runs the search with its own progress line (bytes, speed, time left, found so far) and
// returns its results (FoundBy Content). Stop ends it with what it found.
TFoundFiles SearchFreeSpace(TByteSource& volume, TReaderReport& report, TFreeSpaceSearch search);

// The allocation unit of the file system at the volume's start (an NTFS, FAT or exFAT
// cluster, an ext block), read from its boot sector or superblock; 512, a sector, where
// none is named there (a raw device, a card with no file system, a partition table).
uint32_t VolumeClusterBytes(TByteSource& volume);

// The extensions to search for from the user's masks: "*.jpg,*.PDF" gives jpg and pdf;
// empty (every kind) when any mask is not of the form "*.ext", such as "*.*" or "IMG_*".
std::vector<std::string> ContentTypesFromMasks(const TMaskList& masks);

// Speed and time left after a progress text: "..., 52 MiB/s, 0:14 left" (leftText: the
// translated "%s left").
std::string WithSpeed(const std::string& text, uint64_t position, uint64_t max, uint64_t elapsedMs,
                      const std::string& leftText = "%s left");

} // namespace brivo
