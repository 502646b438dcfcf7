#pragma once
#include "ntfs/NtfsTypes.h"

namespace brivo {

enum class TNtfsGeometryResult { Ok, NotNtfs, Invalid };

// Reads the geometry from the boot sector. NotNtfs when bytes 3..6 are not "NTFS";
// Invalid when a sector, cluster or record size or the $MFT cluster is below 1 (the
// geometry is still filled so the caller can show the values it found).
TNtfsGeometryResult ReadNtfsGeometry(NtfsBytes boot, TNtfsGeometry& geo);

} // namespace brivo
