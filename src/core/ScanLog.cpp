#include "core/ScanLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>
#include <mutex>

#include "platform/DateTime.h"
#include "platform/UniqueFd.h"

namespace brivo {

std::string FormatLogLine(const std::string& msg) {
    return FormatLocalClock(NowLocalDateTime()) + "  " + msg;
}

namespace {
void WriteAll(int fd, const std::string& data) {
    const char* p = data.data();
    size_t left = data.size();
    while (left > 0) {
        ssize_t n = ::write(fd, p, left);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        p += n;
        left -= static_cast<size_t>(n);
    }
}
} // namespace

namespace {

// The debug log stays open from its first line: a batch logs a line or two per recovered
// file, from the UI thread and the workers alike, and opening the file for each of them
// cost more than the copy of a small file.
class TDebugLogFile {
public:
    static TDebugLogFile& Instance() {
        static TDebugLogFile log;
        return log;
    }
    void Append(const std::string& path, const std::string& data) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!OpenLocked(path, false)) return;
        WriteAll(fd_.get(), data);
    }
    void Truncate(const std::string& path) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!OpenLocked(path, true)) return;
        WriteAll(fd_.get(), "\xEF\xBB\xBF");
    }

private:
    bool OpenLocked(const std::string& path, bool truncate) {
        // Each scan opens it anew (at the start, to empty it), so a log removed or moved
        // meanwhile is made again where it belongs.
        if (fd_ && path == path_ && !truncate) return true;
        fd_.reset(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW | (truncate ? O_TRUNC : 0),
                         0644));
        path_ = fd_ ? path : std::string();
        return static_cast<bool>(fd_);
    }

    std::mutex mutex_;
    std::string path_;
    UniqueFd fd_;
};

} // namespace

void AppendDebugLogLine(const std::string& path, const std::string& line) {
    if (path.empty()) return;
    TDebugLogFile::Instance().Append(path, line + "\r\n");
}

void TruncateDebugLog(const std::string& path) {
    if (path.empty()) return;
    TDebugLogFile::Instance().Truncate(path);
}

void Log(TScanHost& host, const std::string& msg) {
    if (!host.IsUiThread()) {
        host.Queue([&host, msg] { Log(host, msg); });
        return;
    }
    const std::string line = FormatLogLine(msg);
    host.AddMemoLine(line);
    AppendDebugLogLine(host.DebugLogPath(), line);
}

void SetStatusText(TScanHost& host, const std::string& text) { host.SetStatusText(text); }

int ProgressPermille(uint64_t position, uint64_t max) {
    if (max == 0) return 0;
    const double v = static_cast<double>(position) / static_cast<double>(max) * 1000.0;
    const double r = std::nearbyint(v);  // default rounding mode: halves to even
    if (!(r > 0)) return 0;
    if (r > 1000) return 1000;
    return static_cast<int>(r);
}

void UpdateProgress(TScanHost& host, uint64_t position, uint64_t max, const std::string& text) {
    if (max != 0)
        host.SetProgress(TProgressStyle::Normal, ProgressPermille(position, max));
    else
        host.SetProgress(TProgressStyle::Indeterminate, 0);
    if (!text.empty()) host.SetStatusText(text);
}

void SetBusy(TScanHost& host, bool busy) { host.SetBusyWidgets(busy); }

void SafeLog(TScanHost& host, const std::string& msg) {
    host.Queue([&host, msg] { Log(host, msg); });
}

void SafeProgress(TScanHost& host, uint64_t position, uint64_t max, const std::string& text) {
    host.Queue([&host, position, max, text] { UpdateProgress(host, position, max, text); });
}

} // namespace brivo
