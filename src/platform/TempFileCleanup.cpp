#include "platform/TempFileCleanup.h"

#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <cstring>

namespace brivo {

namespace {

constexpr int kSlots = 8;
constexpr size_t kNameMax = 64;

// A slot is written only while it is Filling, so a handler that sees Ready reads a
// whole entry.
enum : int { kFree = 0, kFilling = 1, kReady = 2 };
struct TSlot {
    std::atomic<int> State{kFree};
    int DirFd = -1;
    char Name[kNameMax];
};
TSlot gSlots[kSlots];
// Set once the program is ending: a file made after the sweep removes itself.
std::atomic<bool> gEnding{false};

static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs lock-free atomics");

} // namespace

bool TrackTempFile(int dirFd, const char* name) noexcept {
    const size_t len = std::strlen(name);
    if (len >= kNameMax) return false;
    for (auto& s : gSlots) {
        int expected = kFree;
        if (!s.State.compare_exchange_strong(expected, kFilling)) continue;
        s.DirFd = dirFd;
        std::memcpy(s.Name, name, len + 1);
        s.State.store(kReady);
        // Made while the program ends (another thread went on to the next file): the
        // sweep may have run already.
        if (gEnding.load()) ::unlinkat(dirFd, name, 0);
        return true;
    }
    return false;
}

bool TempFilesEnding() noexcept { return gEnding.load(); }

void UntrackTempFile(int dirFd, const char* name) noexcept {
    for (auto& s : gSlots) {
        int expected = kReady;
        if (!s.State.compare_exchange_strong(expected, kFilling)) continue;
        const bool mine = s.DirFd == dirFd && std::strcmp(s.Name, name) == 0;
        s.State.store(mine ? kFree : kReady);
    }
}

void RemoveTempFilesFromSignal() noexcept {
    gEnding.store(true);
    for (auto& s : gSlots) {
        int expected = kReady;
        // Taken for good: the program is ending.
        if (s.State.compare_exchange_strong(expected, kFilling)) ::unlinkat(s.DirFd, s.Name, 0);
    }
}

} // namespace brivo
