#include "engine/SignalCleanup.h"

#include <dirent.h>
#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

namespace brivo {

namespace {

constexpr int kChildSlots = 16;
constexpr int kFolderSlots = 8;

std::atomic<pid_t> gChildren[kChildSlots];

// A slot is written only while it is Filling, so a handler that sees Ready reads a
// whole path.
enum : int { kFree = 0, kFilling = 1, kReady = 2 };
struct TFolderSlot {
    std::atomic<int> State{kFree};
    char Path[PATH_MAX];
};
TFolderSlot gFolders[kFolderSlots];

static_assert(std::atomic<pid_t>::is_always_lock_free && std::atomic<int>::is_always_lock_free,
              "the signal handler needs lock-free atomics");

// Removes the entries of a folder (the engine's links and scratch files; it holds no
// folders of its own), then the folder. Only system calls: no allocation, no stdio.
void RemoveFolderFromSignal(const char* path) noexcept {
    const int fd = ::open(path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd >= 0) {
        alignas(8) char buf[4096];
        for (int pass = 0; pass < 64; ++pass) {
            const long n = ::syscall(SYS_getdents64, fd, buf, sizeof buf);
            if (n <= 0) break;
            for (long off = 0; off < n;) {
                struct TDirent64 {
                    ino64_t d_ino;
                    off64_t d_off;
                    unsigned short d_reclen;
                    unsigned char d_type;
                    char d_name[1];
                };
                const auto* d = reinterpret_cast<const TDirent64*>(buf + off);
                if (d->d_reclen == 0) break;
                off += d->d_reclen;
                const char* name = d->d_name;
                if (std::strcmp(name, ".") == 0 || std::strcmp(name, "..") == 0) continue;
                if (::unlinkat(fd, name, 0) != 0) ::unlinkat(fd, name, AT_REMOVEDIR);
            }
        }
        ::close(fd);
    }
    ::rmdir(path);
}

} // namespace

void TrackEngineChild(pid_t pid) noexcept {
    for (auto& slot : gChildren) {
        pid_t expected = 0;
        if (slot.compare_exchange_strong(expected, pid)) return;
    }
}

void UntrackEngineChild(pid_t pid) noexcept {
    for (auto& slot : gChildren) {
        pid_t expected = pid;
        if (slot.compare_exchange_strong(expected, 0)) return;
    }
}

void TrackEngineFolder(const std::string& folder) noexcept {
    if (folder.empty() || folder.size() >= PATH_MAX) return;
    for (auto& slot : gFolders) {
        int expected = kFree;
        if (!slot.State.compare_exchange_strong(expected, kFilling)) continue;
        std::memcpy(slot.Path, folder.c_str(), folder.size() + 1);
        slot.State.store(kReady);
        return;
    }
}

void UntrackEngineFolder(const std::string& folder) noexcept {
    for (auto& slot : gFolders) {
        if (slot.State.load() != kReady || folder != slot.Path) continue;
        int expected = kReady;
        if (slot.State.compare_exchange_strong(expected, kFilling)) {
            slot.Path[0] = '\0';
            slot.State.store(kFree);
            return;
        }
    }
}

void EndEngineWorkFromSignal() noexcept {
    const int savedErrno = errno;
    for (auto& slot : gChildren) {
        const pid_t pid = slot.load();
        if (pid > 0) ::kill(pid, SIGKILL);
    }
    for (auto& slot : gFolders) {
        int expected = kReady;
        if (slot.State.compare_exchange_strong(expected, kFilling)) {
            RemoveFolderFromSignal(slot.Path);
            slot.Path[0] = '\0';
            slot.State.store(kFree);
        }
    }
    errno = savedErrno;
}

} // namespace brivo
