#include "fat32/Fat32Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <system_error>

#include "core/ScanLog.h"
#include "platform/DateTime.h"
#include "platform/UniqueFd.h"

namespace brivo {

namespace {
constexpr size_t kFlushBytes = 256 * 1024;
constexpr size_t kBatchItems = 256;
constexpr size_t kMaxQueuedItems = 16 * 1024;  // the worker waits beyond this (a few MB of lines)

// Same file, flags and encoding as the window's own log appends; errors are ignored
// because a log that cannot be written must never stop a scan.
void AppendBlock(const std::string& path, const std::string& data) {
    if (path.empty() || data.empty()) return;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) return;
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd.get(), p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}
} // namespace

std::string& TDebugLineWriter::Begin() {
    log_.pending_ += log_.ClockPrefix();
    log_.pending_ += kFat32DebugPrefix;
    return log_.pending_;
}

void TDebugLineWriter::End() { log_.pending_ += "\r\n"; }

TFat32Log::TFat32Log(TScanHost& host) : host_(host), path_(host.DebugLogPath()) {
    if (path_.empty()) return;
    pending_.reserve(kFlushBytes + 64 * 1024);
    try {
        writer_ = std::thread([this] { WriterLoop(); });
    } catch (const std::system_error&) {
        // No thread to spare: the lines are formatted and written by the caller instead.
    }
}

TFat32Log::~TFat32Log() {
    if (writer_.joinable()) {
        HandOver();
        {
            std::lock_guard<std::mutex> lock(mu_);
            stop_ = true;
        }
        wake_.notify_one();
        writer_.join();
    }
    WriteOut();
}

const std::string& TFat32Log::ClockPrefix() {
    // localtime_r per line costs more than the rest of the line; the text only changes
    // once a second.
    const time_t now = ::time(nullptr);
    if (now != prefixSecond_) {
        prefixSecond_ = now;
        prefix_ = FormatLocalClock(NowLocalDateTime()) + "  ";
    }
    return prefix_;
}

void TFat32Log::Format(TItem& item) {
    try {
        if (item.Lines) {
            TDebugLineWriter w(*this);
            item.Lines(w);
        } else {
            pending_ += ClockPrefix();
            pending_ += item.Text;
            pending_ += "\r\n";
        }
    } catch (...) {
        // A line that cannot be built (out of memory) is lost, like one that cannot be written.
    }
    if (pending_.size() >= kFlushBytes) WriteOut();
}

void TFat32Log::WriteOut() {
    AppendBlock(path_, pending_);
    pending_.clear();
}

void TFat32Log::WriterLoop() {
    std::vector<TItem> work;
    uint64_t formatted = 0;
    for (;;) {
        {
            std::unique_lock<std::mutex> lock(mu_);
            wake_.wait(lock, [this] { return stop_ || !queue_.empty(); });
            if (queue_.empty() && stop_) break;
            work.swap(queue_);
        }
        drained_.notify_all();
        for (auto& item : work) Format(item);
        formatted += work.size();
        work.clear();
        bool idle;
        {
            std::lock_guard<std::mutex> lock(mu_);
            idle = queue_.empty();
        }
        if (!idle) continue;
        // Nothing more waiting: put what is formatted in the file before reporting it written.
        WriteOut();
        {
            std::lock_guard<std::mutex> lock(mu_);
            written_ = formatted;
        }
        drained_.notify_all();
    }
    WriteOut();
}

void TFat32Log::HandOver() {
    if (batch_.empty()) return;
    {
        std::unique_lock<std::mutex> lock(mu_);
        drained_.wait(lock, [this] { return queue_.size() < kMaxQueuedItems; });
        submitted_ += batch_.size();
        for (auto& item : batch_) queue_.push_back(std::move(item));
    }
    batch_.clear();
    wake_.notify_one();
}

void TFat32Log::Submit(TItem item, bool handOver) {
    if (!writer_.joinable()) {
        Format(item);
        if (handOver) WriteOut();
        return;
    }
    batch_.push_back(std::move(item));
    if (handOver || batch_.size() >= kBatchItems) HandOver();
}

void TFat32Log::SafeLog(const std::string& text) {
    const bool debugLine = text.rfind(kFat32DebugPrefix, 0) == 0;
    if (!path_.empty()) Submit(TItem{text, {}}, !debugLine);
    if (!debugLine) brivo::SafeLog(host_, text);
}

void TFat32Log::Debug(TDebugLines lines) {
    if (path_.empty()) return;
    Submit(TItem{{}, std::move(lines)}, false);
}

void TFat32Log::SafeProgress(uint64_t position, uint64_t max, const std::string& statusText) {
    brivo::SafeProgress(host_, position, max, statusText);
}

void TFat32Log::Flush() {
    if (!writer_.joinable()) {
        WriteOut();
        return;
    }
    HandOver();
    std::unique_lock<std::mutex> lock(mu_);
    drained_.wait(lock, [this] { return written_ == submitted_; });
}

} // namespace brivo
