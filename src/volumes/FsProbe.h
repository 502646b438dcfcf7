#pragma once
#include <string>

#include "core/ByteSource.h"
#include "core/FsDetect.h"

namespace brivo {

// What sits at the start of a volume, found by its on-disk signature.
struct TFsProbe {
    // The kind detection gives (a row of the file-system table), or the kind whose backup
    // the volume holds; NotRecognised where only a signature names it.
    TFsKind Kind = TFsKind::NotRecognised;
    // The file system in words ("NTFS", "FAT16", "exFAT", "ext4", "HFS+", "ISO 9660",
    // "Linux swap", ...); empty when no signature matched.
    std::string Name;
    // The engine can list files of it (its own detection, without a switch).
    bool EngineReadable = false;
};

// Reads at most the first 72 KiB of volume (the deepest signature is Btrfs' at 64 KiB);
// an unreadable or short volume gives an empty probe, never an error.
TFsProbe ProbeFileSystem(TByteSource& volume);

// True for a first sector that starts a volume of a kind whose copy is a volume boot
// record (the rows' IsVolumeBootRecord: NTFS, exFAT, FAT12/16/32). A volume boot record
// carries the same 0x55AA mark as a master boot record, so the partition reader asks
// this first.
bool LooksLikeVolumeBootRecord(ByteSpan sector);

} // namespace brivo
