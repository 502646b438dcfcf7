#pragma once
#include <condition_variable>
#include <cstdint>
#include <ctime>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ScanHost.h"

namespace brivo {

class TFat32Log;

// Where deferred debug lines are written: Begin appends the time stamp and "FAT32 DBG ",
// the caller appends the rest of the line, End closes it.
class TDebugLineWriter {
public:
    std::string& Begin();
    void End();

private:
    friend class TFat32Log;
    explicit TDebugLineWriter(TFat32Log& log) : log_(log) {}
    TFat32Log& log_;
};
using TDebugLines = std::function<void(TDebugLineWriter&)>;

// The FAT32 scan's log and progress. Every line goes to the debug log file; "FAT32 DBG "
// lines stop there, any other line is also queued to the window's Log.
//
// A deleted-heavy volume yields tens of thousands of debug lines (several per deleted
// entry, with the entry's bytes in hexadecimal), and building them costs as much as the
// walk itself. So the lines are handed, in order, to a writer thread of this log, which
// formats the deferred ones (Debug) and appends everything in large blocks instead of one
// open-append-close per line. The file keeps the order in which the scan produced its
// lines; Flush and the destructor wait until all of them are written.
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
    // Debug lines built later by `lines` (which must own everything it reads). Only call
    // it while DebugEnabled().
    void Debug(TDebugLines lines);
    void SafeProgress(uint64_t position, uint64_t max, const std::string& statusText);
    std::string Translate(const std::string& text) { return host_.Translate(text); }
    // Returns once every line handed over so far is in the file.
    void Flush();

private:
    friend class TDebugLineWriter;
    struct TItem {
        std::string Text;   // a whole line, when Lines is empty
        TDebugLines Lines;
    };

    void Submit(TItem item, bool handOver);
    void HandOver();
    void Format(TItem& item);
    void WriteOut();
    void WriterLoop();
    const std::string& ClockPrefix();

    TScanHost& host_;
    std::string path_;

    // Worker side: items not yet handed to the writer.
    std::vector<TItem> batch_;

    // Shared with the writer thread.
    std::mutex mu_;
    std::condition_variable wake_;     // writer: items or stop
    std::condition_variable drained_;  // worker: room in the queue, or all written
    std::vector<TItem> queue_;
    uint64_t submitted_ = 0;
    uint64_t written_ = 0;
    bool stop_ = false;
    std::thread writer_;

    // Writer side (the worker's own when there is no writer thread).
    std::string pending_;
    time_t prefixSecond_ = -1;
    std::string prefix_;
};

} // namespace brivo
