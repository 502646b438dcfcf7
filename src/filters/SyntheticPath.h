#pragma once
#include <string_view>

#include "core/FoundFile.h"

namespace brivo {

// True for areas the engine tools make up ($MBR, $FAT1/$FAT2, $OrphanFiles at the root) and
// for system folders (System Volume Information, $RECYCLE.BIN, RECYCLER, FOUND.nnn). These are
// plain text tests, ASCII case ignored: a file named found.txt anywhere matches "/FOUND.".
// Always false while the Recycle Bin itself is scanned.
bool IsSyntheticPath(std::string_view path, TScanWhere where);

} // namespace brivo
