#pragma once
#include <string>

namespace brivo {

// The folder of the debug log: $XDG_STATE_HOME/brivo-recovery when that variable holds an
// absolute path, else ~/.local/state/brivo-recovery (the home from $HOME, else the
// password database). Made (0700, with missing parents) on demand; empty when it cannot
// be made or is not a folder of this user, and then no debug log is written. Never the
// program's own folder: an installed program's folder (/usr/bin) is not the user's.
std::string DebugLogFolder();
// DebugLogFolder() + "/" + fileName; empty when there is no folder.
std::string DebugLogFilePath(const std::string& fileName);

} // namespace brivo
