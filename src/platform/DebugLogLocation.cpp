#include "platform/DebugLogLocation.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>

#include "platform/Paths.h"

namespace brivo {

namespace {

std::string HomeFolder() {
    if (const char* h = std::getenv("HOME"); h && *h == '/') return h;
    // A service or a cron job may run without HOME.
    const passwd* pw = ::getpwuid(::geteuid());
    return pw && pw->pw_dir && *pw->pw_dir == '/' ? pw->pw_dir : std::string();
}

} // namespace

std::string DebugLogFolder() {
    std::string state;
    if (const char* x = std::getenv("XDG_STATE_HOME"); x && *x == '/') {
        state = x;
    } else {
        const std::string home = HomeFolder();
        if (home.empty()) return {};
        state = JoinPath(JoinPath(home, ".local"), "state");
    }
    const std::string dir = JoinPath(state, "brivo-recovery");
    // mkdir -p; whatever fails shows in the check below.
    for (size_t p = dir.find('/', 1); p != std::string::npos; p = dir.find('/', p + 1))
        ::mkdir(dir.substr(0, p).c_str(), 0700);
    ::mkdir(dir.c_str(), 0700);
    // Run as root with another user's HOME, or given a folder someone else planted: the
    // log is not written into a folder this user does not own.
    struct stat st {};
    if (::lstat(dir.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != ::geteuid()) return {};
    return dir;
}

std::string DebugLogFilePath(const std::string& fileName) {
    const std::string dir = DebugLogFolder();
    return dir.empty() ? std::string() : JoinPath(dir, fileName);
}

} // namespace brivo
