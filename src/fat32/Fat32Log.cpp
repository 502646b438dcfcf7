#include "fat32/Fat32Log.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "core/ScanLog.h"
#include "platform/DateTime.h"
#include "platform/UniqueFd.h"

namespace brivo {

namespace {
constexpr size_t kFlushBytes = 256 * 1024;

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

TFat32Log::TFat32Log(TScanHost& host) : host_(host), path_(host.DebugLogPath()) {}

TFat32Log::~TFat32Log() { Flush(); }

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

void TFat32Log::SafeLog(const std::string& text) {
    const bool debugLine = text.rfind(kFat32DebugPrefix, 0) == 0;
    if (!path_.empty()) {
        pending_ += ClockPrefix();
        pending_ += text;
        pending_ += "\r\n";
        if (!debugLine || pending_.size() >= kFlushBytes) Flush();
    }
    if (!debugLine) brivo::SafeLog(host_, text);
}

void TFat32Log::SafeProgress(uint64_t position, uint64_t max, const std::string& statusText) {
    brivo::SafeProgress(host_, position, max, statusText);
}

void TFat32Log::Flush() {
    if (pending_.empty()) return;
    AppendBlock(path_, pending_);
    pending_.clear();
}

} // namespace brivo
