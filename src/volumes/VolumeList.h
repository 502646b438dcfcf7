#pragma once
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/ByteSource.h"
#include "core/ScanErrors.h"
#include "volumes/ContainerSource.h"
#include "volumes/FsProbe.h"
#include "volumes/PartitionTable.h"
#include "volumes/VolumeSearch.h"

namespace brivo {

struct TVolume {
    // What the user types to choose it: the partition number, 1 for a source without
    // a partition table.
    uint32_t Index = 1;
    uint64_t StartSector = 0;   // in the table's sector size
    uint64_t SectorCount = 0;
    uint64_t SizeBytes = 0;
    std::string Type;           // "0x07", a GPT type GUID, empty without a table
    std::string TypeName;
    std::string Name;           // GPT partition name
    TFsProbe Fs;
    bool Readable = true;       // lies inside the source
    std::string Problem;        // why not, or a warning ("overlaps volume 2")
    // The length its boot sector or superblock gives, when that is more than SizeBytes: the
    // image ends (or the partition entry stops) before the file system does. 0 otherwise.
    uint64_t FsLengthBytes = 0;
    // Not in the partition table: found by the search for lost volumes (its boot
    // sector or superblock, or a GPT backup header), with what was found.
    bool FoundBySearch = false;
    std::string Evidence;       // "boot sector and backup", "backup boot sector", "GPT backup header"
    // Space between the volumes found on a disk whose table is lost, listed for a deep
    // scan of what may lie there.
    bool Unallocated = false;
    // Another found volume that overlaps this one and whose size and backup fit better.
    uint32_t AlternativeTo = 0;
    // With its first copy gone, the backup copy's bytes are shown to readers in its
    // place: BootCopyBytes from BootCopyFrom to BootCopyTo, in bytes from its start.
    uint64_t BootCopyFrom = 0;
    uint64_t BootCopyTo = 0;
    uint32_t BootCopyBytes = 0;
    // Something can list its files: a readable volume with a file system that the
    // direct readers or the engine know.
    bool Scannable() const { return Readable && (Fs.Kind != TFsKind::NotRecognised || Fs.EngineReadable); }
};

// A source opened as a disk: its container, its partition table and its volumes.
struct TSourceVolumes {
    std::string Source;
    TContainerKind Container = TContainerKind::Raw;
    std::string ContainerFormat = "raw";
    TPartitionScheme Scheme = TPartitionScheme::None;
    uint32_t SectorSize = 512;
    uint64_t DiskSize = 0;
    std::vector<TVolume> Volumes;
    std::vector<std::string> Problems;
    TByteSourcePtr Disk;  // the decoded disk, open read-only
    // Opens the same disk again for a reader on another thread (byte sources serve one
    // thread at a time): the container decoded anew, the partition table not read again.
    // Empty for a disk given as a byte source (tests): Disk itself is then shared.
    std::function<TByteSourcePtr()> ReopenDisk;
    // How far the search for lost volumes went: not at all (a table or a file system
    // covers the disk), at the usual alignments, or at every sector.
    bool Searched = false;
    TSearchDepth SearchDepth = TSearchDepth::Aligned;
    bool SearchStopped = false;  // the user stopped the search; what it found so far is listed
    // Why a search at every sector that was asked for did not run, for the user; empty
    // when it ran or was not asked for.
    std::string SearchNote;
};

// Opens path (image file or device) read-only, decodes its container, reads its
// partition table and probes the file system at the start of every volume. A source
// whose first sectors hold a file system is one volume (index 1) covering all of it.
// Where there is no valid table, or space that no partition covers, lost volumes are
// searched for (a GPT backup header, boot sectors and superblocks with their backups)
// at depth (None: not at all), and listed after the table's volumes (marked FoundBySearch); a source with
// neither a table nor anything found is one volume covering all of it. A search's
// findings are kept for the process's life, so listing the same unchanged source again
// (to scan or recover one of its volumes) finds the same volumes without searching.
// Throws std::runtime_error with the user's message when the source cannot be opened or
// decoded (see OpenContainer); a damaged table is not an error (its Problems say what
// was wrong).
TSourceVolumes ListVolumes(const std::string& path, TSearchDepth depth = TSearchDepth::Aligned,
                           const TSearchProgress& progress = {});
// The same over a disk that is already open (tests, fuzzing); nothing is kept.
TSourceVolumes ListVolumesOf(TByteSourcePtr disk, TContainerKind container = TContainerKind::Raw,
                             TSearchDepth depth = TSearchDepth::Aligned, const TSearchProgress& progress = {});

// The volume is a part of its source (a table's or a found volume), not all of it.
bool VolumeIsSlice(const TSourceVolumes& src, const TVolume& v);

// The volume to scan. index 0 chooses by itself: the only volume, or the only one that
// can be scanned; with several the choice is the user's (TSeveralVolumesError listing
// them). A given index must name one of the volumes (else TNoSuchVolumeError, listing
// them) that lies inside the source. A table without volumes, or a chosen volume that
// cannot be read, is a TVolumeChoiceError of its own: the source is at fault, not the choice.
const TVolume& ChooseVolume(const TSourceVolumes& src, uint32_t index);

// The volume's bytes: the disk itself for a source without a table, else a slice (with
// its backup boot copy in place of a lost first one).
TByteSourcePtr OpenVolumeSource(const TSourceVolumes& src, const TVolume& v);

// The bytes of volume v over a fresh opening of the disk (ReopenDisk), for an extractor
// that reads on another thread than the scan: the volume chosen for the scan, found
// again without listing the volumes anew. Throws like OpenContainer.
TByteSourcePtr ReopenVolumeSource(const TSourceVolumes& src, const TVolume& v);

// One line describing a volume: "2  NTFS  200.0 MiB  Microsoft basic data "Data"  (sectors 2048-411647)".
// translate turns its fixed words into the user's language (the window's list); the
// command line and the log keep them in English.
std::string DescribeVolume(const TVolume& v, uint32_t sectorSize,
                           const std::function<std::string(const std::string&)>& translate = {});

// The engine's arguments that pick this volume out of its source: "-i TYPE" for a
// container, "-o SECTORS" (512-byte units) for a volume that does not start at 0.
// Empty for a raw source's whole volume. Throws std::runtime_error when the engine
// cannot read the container (QCOW).
std::vector<std::string> EngineVolumeArgs(const TSourceVolumes& src, const TVolume& v);

// A size in words: "512 B", "1.5 KiB", "200.0 MiB", "1.8 TiB".
std::string SizeText(uint64_t bytes);

// What to tell the user about a volume that is shorter than its file system (FsLengthBytes
// set), or empty: "The image ends before its NTFS volume does: ...".
std::string CutShortWarning(const TSourceVolumes& src, const TVolume& v);

} // namespace brivo
