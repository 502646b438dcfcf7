#pragma once

namespace brivo {

// Half-written output files that a program ended by a signal must not leave behind (a
// recovered file is written under a temporary name and renamed once complete). The
// writer registers the file by its folder's descriptor and its name while it writes; the
// front end's signal handler calls RemoveTempFilesFromSignal.

// Records a file being written; false when it cannot be tracked (name too long, or more
// files at once than there are slots), which only means it is not removed on a signal.
bool TrackTempFile(int dirFd, const char* name) noexcept;
void UntrackTempFile(int dirFd, const char* name) noexcept;

// Removes every tracked file, and from then on every file tracked later (other threads
// run on until the program has ended). Async-signal-safe; never throws.
void RemoveTempFilesFromSignal() noexcept;
// True once RemoveTempFilesFromSignal has run: no new file should be started.
bool TempFilesEnding() noexcept;

} // namespace brivo
