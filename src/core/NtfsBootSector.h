#pragma once
#include <cstdint>

#include "core/ByteReaders.h"
#include "core/ByteSource.h"
#include <vector>

namespace brivo {

// What the reader needs from an NTFS boot sector.
struct TNtfsGeometry {
    int32_t BytesPerSector = 0;
    int32_t BytesPerCluster = 0;
    int32_t RecordSize = 0;
    int64_t MftLcn = 0;
    int64_t ClusterCount = 0;  // clusters of the volume as its boot sector gives them
};

enum class TNtfsGeometryResult { Ok, NotNtfs, Invalid };

// True for a first sector whose OEM name (the 8 bytes at 3), decoded in the ANSI code
// page and trimmed of blanks and control characters, is "NTFS" in any case. Fewer than
// 512 bytes are no boot sector.
bool IsNtfsBootSector(ByteSpan sector);

// Reads the geometry from the boot sector. NotNtfs when IsNtfsBootSector says no;
// Invalid when a sector, cluster or record size or the $MFT cluster is below 1 (the
// geometry is still filled so the caller can show the values it found).
TNtfsGeometryResult ReadNtfsGeometry(ByteSpan boot, TNtfsGeometry& geo);

// Where the volume's boot sector was read from.
enum class TNtfsBootCopy { None, Primary, Backup };

// Reads the boot sector at byte 0 of volume, or, when that one is unreadable or no valid
// NTFS boot sector, the backup the format writes in the volume's last sector. A backup is
// taken only where its own sector count puts it: right at the end of this volume, so that
// the last sector of a whole disk (which may be a backup of its last partition only) is
// never read as the boot sector of the disk.
TNtfsBootCopy ReadNtfsBootSector(TByteSource& volume, std::vector<uint8_t>& boot);
// Only the backup, for a caller that has looked at the first sector already.
bool ReadNtfsBackupBootSector(TByteSource& volume, std::vector<uint8_t>& boot);

} // namespace brivo
