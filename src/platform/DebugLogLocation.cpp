#include "platform/DebugLogLocation.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/Paths.h"

namespace brivo {

std::string DebugLogFilePath(const std::string& fileName) {
    const std::string exeDir = ExecutableDir();
    if (::access(exeDir.c_str(), W_OK) == 0) return JoinPath(exeDir, fileName);

    std::string state;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x == '/') {
        state = x;
    } else if (const char* h = std::getenv("HOME"); h && *h) {
        state = JoinPath(JoinPath(h, ".local"), "state");
    } else {
        state = TempDirectory();
    }
    // mkdir -p of the state folder; a failure only means the log lines are lost.
    const std::string dir = JoinPath(state, "brivo-file-recovery");
    for (size_t p = dir.find('/', 1); p != std::string::npos; p = dir.find('/', p + 1))
        ::mkdir(dir.substr(0, p).c_str(), 0700);
    ::mkdir(dir.c_str(), 0700);
    return JoinPath(dir, fileName);
}

} // namespace brivo
