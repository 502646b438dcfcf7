#include "core/ScanLog.h"

#include <fcntl.h>
#include <unistd.h>

#include <cmath>

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

void AppendDebugLogLine(const std::string& path, const std::string& line) {
    if (path.empty()) return;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) return;
    WriteAll(fd.get(), line + "\r\n");
}

void TruncateDebugLog(const std::string& path) {
    if (path.empty()) return;
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_TRUNC | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0644));
    if (!fd) return;
    WriteAll(fd.get(), "\xEF\xBB\xBF");
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
