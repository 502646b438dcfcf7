#pragma once
#include <string>

namespace brivo {

// Linux has no path-length prefix forms: the absolute form of the path (relative paths
// resolved against the current directory, nothing else changed: no trimming, no link
// resolution, since blanks are legal at either end of a Linux name). Empty stays empty.
std::string ToLongPath(const std::string& path);

// The path names a directory (links followed).
bool DirectoryExistsLong(const std::string& path);

// Creates the directory and every missing parent (mode 0777 less the umask), like
// "mkdir -p". An existing directory, or a link to one, is used as it is. Throws with
// the system's error text when a part cannot be created or exists as something other
// than a directory.
void ForceDirectoriesLong(const std::string& dir);

} // namespace brivo
