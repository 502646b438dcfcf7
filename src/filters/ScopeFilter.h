#pragma once
#include <string>

#include "core/ScanHost.h"
#include "core/ScanState.h"

namespace brivo {

// Forward slashes, no doubled slashes, no drive, no leading or trailing slash, ASCII lower case.
std::string NormalizeScopePath(const std::string& path);

// Keeps only the results inside the chosen folder (or the Recycle Bin folders) and, for
// the Recycle Bin kind, pairs the $R files with their $I records. Worker thread.
void ApplyScopeFilter(TScanState& st, TScanHost& host, TScanWhere mode, const std::string& pathFilter);

} // namespace brivo
