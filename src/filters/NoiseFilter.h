#pragma once
#include <cstdint>
#include <string>
#include <string_view>

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

} // namespace brivo
