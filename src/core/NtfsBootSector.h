#pragma once
#include <cstdint>

#include "core/ByteReaders.h"

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

} // namespace brivo
