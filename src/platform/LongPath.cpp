#include "platform/LongPath.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <stdexcept>

#include "platform/RawSource.h"

namespace brivo {

std::string ToLongPath(const std::string& path) {
    if (path.empty() || path.front() == '/') return path;
    char* buf = ::getcwd(nullptr, 0);  // glibc allocates the exact size
    if (!buf) return path;             // no usable current folder: leave it relative
    std::string cwd(buf);
    std::free(buf);
    if (cwd.back() != '/') cwd += '/';
    return cwd + path;
}

bool DirectoryExistsLong(const std::string& path) {
    struct stat st {};
    return !path.empty() && ::stat(ToLongPath(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

void ForceDirectoriesLong(const std::string& dir) {
    std::string t = ToLongPath(dir);
    while (t.size() > 1 && t.back() == '/') t.pop_back();
    if (t.empty() || DirectoryExistsLong(t)) return;
    const auto slash = t.rfind('/');
    if (slash != std::string::npos) {
        const std::string parent = slash == 0 ? "/" : t.substr(0, slash);
        if (parent != t && !DirectoryExistsLong(parent)) ForceDirectoriesLong(parent);
    }
    if (::mkdir(t.c_str(), 0777) != 0) {
        const int err = errno;
        // Someone else may have made it meanwhile; anything that is not a directory
        // (a file, a dangling link) is an error.
        if (err == EEXIST && DirectoryExistsLong(t)) return;
        throw std::runtime_error(ErrnoText(err == EEXIST ? ENOTDIR : err) + ": " + t);
    }
}

} // namespace brivo
