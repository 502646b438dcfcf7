#include "results/RecoveryOutput.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <random>
#include <stdexcept>

#include "platform/RawSource.h"

namespace brivo {

namespace {

[[noreturn]] void Fail(int err, const std::string& path) { throw std::runtime_error(ErrnoText(err) + ": " + path); }

// Opens (or creates) one folder below parent without following a link.
UniqueFd OpenChildFolder(int parent, const std::string& name, const std::string& shownPath) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        UniqueFd fd(::openat(parent, name.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (fd) return fd;
        const int err = errno;
        if (err == ENOENT) {
            if (::mkdirat(parent, name.c_str(), 0777) != 0 && errno != EEXIST) Fail(errno, shownPath);
            continue;  // made it (or someone else did): open it for real
        }
        struct stat st {};
        if ((err == ELOOP || err == ENOTDIR) && ::fstatat(parent, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
            S_ISLNK(st.st_mode))
            throw std::runtime_error("Refusing to write through a symbolic link: " + shownPath);
        Fail(err, shownPath);
    }
    Fail(ENOENT, shownPath);
}

std::string RandomHex(size_t n) {
    static const char* kHex = "0123456789abcdef";
    std::random_device rd;
    std::string s;
    for (size_t i = 0; i < n; ++i) s += kHex[rd() & 15];
    return s;
}

bool ProcFdUsable() {
    static const bool usable = ::access("/proc/self/fd", X_OK) == 0;
    return usable;
}

} // namespace

TRecoveryTarget::TRecoveryTarget(const std::string& folder, const std::string& relative) {
    std::string shown = folder;
    while (!shown.empty() && shown.back() == '/') shown.pop_back();  // "/" gives "", then "/name"
    dir_.reset(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!dir_) Fail(errno, folder);

    size_t pos = 0;
    for (;;) {
        const size_t slash = relative.find('/', pos);
        if (slash == std::string::npos) break;
        const std::string name = relative.substr(pos, slash - pos);
        shown += "/" + name;
        dir_ = OpenChildFolder(dir_.get(), name, shown);
        pos = slash + 1;
    }
    leaf_ = relative.substr(pos);
    finalPath_ = shown + "/" + leaf_;

    // Short and fixed-length, so a target name near the 255-byte limit still has room.
    for (int attempt = 0;; ++attempt) {
        temp_ = ".brivo-" + RandomHex(16) + ".part";
        UniqueFd fd(::openat(dir_.get(), temp_.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666));
        if (fd) break;
        if (errno != EEXIST || attempt >= 8) Fail(errno, finalPath_);
    }
    // Through the open handle the write cannot be redirected by a folder renamed or
    // swapped for a link after the checks above.
    writePath_ = ProcFdUsable() ? "/proc/self/fd/" + std::to_string(dir_.get()) + "/" + temp_ : shown + "/" + temp_;
}

TRecoveryTarget::~TRecoveryTarget() {
    if (!done_ && dir_) ::unlinkat(dir_.get(), temp_.c_str(), 0);
}

void TRecoveryTarget::Commit() {
    if (::renameat(dir_.get(), temp_.c_str(), dir_.get(), leaf_.c_str()) != 0) {
        const int err = errno;
        ::unlinkat(dir_.get(), temp_.c_str(), 0);
        done_ = true;
        Fail(err, finalPath_);
    }
    done_ = true;
}

} // namespace brivo
