#pragma once
#include <cstdint>
#include <ctime>
#include <string>

#include "core/ScanHost.h"

namespace brivo {

// The FAT32 scan's log and progress. Lines are written to the debug log file by the
// worker itself; "FAT32 DBG " lines stop there, any other line is also queued to the
// window's Log. A deleted-heavy volume yields tens of thousands of debug lines, so they
// are collected and appended in blocks instead of one open-append-close per line; a
// user-visible line, Flush and the destructor write out what is pending first, so the
// file keeps the order in which the scan produced its lines.
class TFat32Log {
public:
    explicit TFat32Log(TScanHost& host);
    ~TFat32Log();
    TFat32Log(const TFat32Log&) = delete;
    TFat32Log& operator=(const TFat32Log&) = delete;

    TScanHost& Host() { return host_; }
    // False when the front end keeps no debug file: callers skip building debug lines.
    bool DebugEnabled() const { return !path_.empty(); }

    void SafeLog(const std::string& text);
    void SafeProgress(uint64_t position, uint64_t max, const std::string& statusText);
    std::string Translate(const std::string& text) { return host_.Translate(text); }
    void Flush();

private:
    const std::string& ClockPrefix();

    TScanHost& host_;
    std::string path_;
    std::string pending_;
    time_t prefixSecond_ = -1;
    std::string prefix_;
};

} // namespace brivo
