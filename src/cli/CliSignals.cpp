#include "cli/CliSignals.h"

#include <signal.h>
#include <unistd.h>

#include <atomic>

#include "driver/Engine.h"
#include "platform/TempFileCleanup.h"

namespace brivo::cli {

namespace {

constexpr int kEndSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};
constexpr int kEndSignalCount = sizeof kEndSignals / sizeof kEndSignals[0];

std::atomic<bool> gStopWindow{false};
std::atomic<bool> gInterrupted{false};
struct sigaction gPrevious[kEndSignalCount];
// SIGINT of the scan window is installed without SA_RESETHAND; the other signals end
// the program, and a second one while cleaning up must not start the cleanup again.
std::atomic<bool> gEnding{false};

extern "C" void OnEndSignal(int sig) {
    if (sig == SIGINT && gStopWindow.load()) {
        gInterrupted = true;
        return;
    }
    if (gEnding.exchange(true)) return;
    // The part-written file first: once its tool is killed, the copy thread moves on.
    RemoveTempFilesFromSignal();
    EndEngineWorkFromSignal();
    ::_exit(128 + sig);
}

} // namespace

TEndSignalGuard::TEndSignalGuard() {
    struct sigaction sa {};
    sa.sa_handler = OnEndSignal;
    sigemptyset(&sa.sa_mask);
    for (int s : kEndSignals) sigaddset(&sa.sa_mask, s);  // one handler at a time
    for (int i = 0; i < kEndSignalCount; ++i) {
        ::sigaction(kEndSignals[i], nullptr, &gPrevious[i]);
        // Started under nohup, or with a broken pipe meant to be ignored: keep it so.
        const bool keepIgnored = kEndSignals[i] == SIGHUP || kEndSignals[i] == SIGPIPE;
        if (keepIgnored && gPrevious[i].sa_handler == SIG_IGN) continue;
        ::sigaction(kEndSignals[i], &sa, nullptr);
    }
}

TEndSignalGuard::~TEndSignalGuard() {
    for (int i = 0; i < kEndSignalCount; ++i) ::sigaction(kEndSignals[i], &gPrevious[i], nullptr);
}

// Windows nest: the command's own and the one that lasts until its output is out.
int gWindowDepth = 0;

TStopOnInterrupt::TStopOnInterrupt() {
    if (gWindowDepth++ == 0) {
        gInterrupted = false;
        gStopWindow = true;
    }
}

TStopOnInterrupt::~TStopOnInterrupt() {
    if (--gWindowDepth == 0) gStopWindow = false;
}

TEndOnInterrupt::TEndOnInterrupt() : previous_(gStopWindow.exchange(false)) {}

TEndOnInterrupt::~TEndOnInterrupt() { gStopWindow = previous_; }

bool Interrupted() { return gInterrupted.load(); }

} // namespace brivo::cli
