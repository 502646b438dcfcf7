#pragma once

namespace brivo::cli {

// SIGINT, SIGTERM, SIGHUP and SIGPIPE end the program without leaving engine work
// behind: the running engine tool is killed and the engine folder removed, then the
// program exits with 128 + the signal's number. While a scan runs, SIGINT instead asks it
// to stop and keep what it found (see TStopOnInterrupt). The previous handlers come
// back when the guard goes.
class TEndSignalGuard {
public:
    TEndSignalGuard();
    ~TEndSignalGuard();
    TEndSignalGuard(const TEndSignalGuard&) = delete;
    TEndSignalGuard& operator=(const TEndSignalGuard&) = delete;
};

// While one exists (a scan or a recovery runs), SIGINT only sets Interrupted(): Ctrl-C
// acts as the Stop command. Interrupted() stays set until the next outermost one is made;
// they nest (main thread only).
class TStopOnInterrupt {
public:
    TStopOnInterrupt();
    ~TStopOnInterrupt();
    TStopOnInterrupt(const TStopOnInterrupt&) = delete;
    TStopOnInterrupt& operator=(const TStopOnInterrupt&) = delete;
};
bool Interrupted();

// Inside a TStopOnInterrupt, a stretch where SIGINT ends the program again (a command
// that has no Stop of its own).
class TEndOnInterrupt {
public:
    TEndOnInterrupt();
    ~TEndOnInterrupt();
    TEndOnInterrupt(const TEndOnInterrupt&) = delete;
    TEndOnInterrupt& operator=(const TEndOnInterrupt&) = delete;

private:
    bool previous_;
};

} // namespace brivo::cli
