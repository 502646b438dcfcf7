#pragma once
#include <string>

namespace brivo {

// $TMPDIR when it names an existing folder, else /tmp; no trailing "/".
std::string TempDirectory();
// A random UUID in registry text form: {XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}, upper case.
std::string NewGuidText();
// Folder of the running executable (from /proc/self/exe); no trailing "/".
std::string ExecutableDir();
// Joins with exactly one "/" between.
std::string JoinPath(const std::string& a, const std::string& b);
bool FileExists(const std::string& path);       // regular file (follows links)
bool DirectoryExists(const std::string& path);  // directory (follows links)

} // namespace brivo
