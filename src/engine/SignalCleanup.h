#pragma once
#include <string>
#include <sys/types.h>

namespace brivo {

// What a program ended by a signal still owes: the engine tools it runs are killed and
// the engine folders it made are removed. The runner and the engine folder register
// themselves here; a front end's signal handler calls EndEngineWorkFromSignal, which
// makes only async-signal-safe calls. (A tool would die with the program anyway: every
// child asks the kernel for that. The folder would not.)

// Records a running engine tool; UntrackEngineChild before it is reaped.
void TrackEngineChild(pid_t pid) noexcept;
void UntrackEngineChild(pid_t pid) noexcept;
// Records an engine folder; UntrackEngineFolder once it is removed. A folder whose path
// does not fit (longer than PATH_MAX) or beyond the few that fit is not tracked.
void TrackEngineFolder(const std::string& folder) noexcept;
void UntrackEngineFolder(const std::string& folder) noexcept;

// Kills every tracked tool and removes every tracked folder with the files in it.
// Async-signal-safe; never throws.
void EndEngineWorkFromSignal() noexcept;

} // namespace brivo
