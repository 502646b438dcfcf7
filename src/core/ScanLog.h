#pragma once
#include <cstdint>
#include <string>

#include "core/ScanHost.h"
#include "core/ScanState.h"

namespace brivo {

inline constexpr const char* kDebugLogFileName = "FileRecovery_fastscan_debug.log";
inline constexpr const char* kFat32DebugPrefix = "FAT32 DBG ";

// "hh:nn:ss  msg" with the current local time.
std::string FormatLogLine(const std::string& msg);

// Appends line + CR LF to the file as UTF-8; every error is ignored (a log that cannot
// be written must never stop a scan). The file is opened on its first line and kept
// open (any thread) until a line for another path comes.
void AppendDebugLogLine(const std::string& path, const std::string& line);
// Empties the file, leaving only the UTF-8 byte-order mark; errors ignored.
void TruncateDebugLog(const std::string& path);

// Any thread: off the UI thread the line is queued and stamped when the UI handles it.
void Log(TScanHost& host, const std::string& msg);
void SetStatusText(TScanHost& host, const std::string& text);
// Max 0: indeterminate. Otherwise Position/Max scaled to 0..1000, halves to even, clamped.
void UpdateProgress(TScanHost& host, uint64_t position, uint64_t max, const std::string& text);
int ProgressPermille(uint64_t position, uint64_t max);
void SetBusy(TScanHost& host, bool busy);

// Worker-side helpers: queue to the UI thread and return at once.
void SafeLog(TScanHost& host, const std::string& msg);
void SafeProgress(TScanHost& host, uint64_t position, uint64_t max, const std::string& text);

} // namespace brivo
