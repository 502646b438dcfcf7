#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "core/FoundFile.h"

namespace brivo {

// Lower-cases the path (every letter, not only ASCII), turns "\" into "/" and collapses
// runs of "/" into one.
std::string NormalizeFilterPath(std::string_view path);

// The cleanup filter of the direct NTFS scan when the user searches for everything: empty
// names, zero-byte files, "$" and "~" names, temporary and log files, binaries and build or
// package artifacts are noise.
bool IsNoiseFileName(std::string_view name, int64_t sizeBytes);

// IsNoiseFileName on the path's file name, then the system, temporary, cache and build
// folders (Windows/, Program Files/, AppData/Local/Temp/, node_modules/, bin/Debug/, ...).
bool IsNoisePath(std::string_view path, int64_t sizeBytes);

// IsSyntheticPath without the orphan folder: what sits under "/$OrphanFiles" (files whose
// folder is lost, found by a deep scan or listed so by the engine) is what a user looks for,
// not noise; a system folder below it still counts.
bool IsSystemAreaPath(std::string_view path, TScanWhere where);

} // namespace brivo
