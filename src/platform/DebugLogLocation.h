#pragma once
#include <string>

namespace brivo {

// Where the debug log goes: beside the program when that folder is writable (a build
// tree, a portable copy), else $XDG_STATE_HOME (or ~/.local/state)/brivo-file-recovery/,
// created on demand, because an installed program's folder is not the user's to write.
std::string DebugLogFilePath(const std::string& fileName);

} // namespace brivo
