#include "cli/CliHost.h"

#include <chrono>

#include "core/ScanLog.h"
#include "platform/DebugLogLocation.h"

namespace brivo::cli {

TCliHost::TCliHost(bool verbose, bool showProgress, std::FILE* err)
    : ui_(std::this_thread::get_id()),
      verbose_(verbose),
      showProgress_(showProgress),
      err_(err),
      debugLogPath_(DebugLogFilePath(kDebugLogFileName)) {}

bool TCliHost::IsUiThread() const { return std::this_thread::get_id() == ui_; }

void TCliHost::Queue(std::function<void()> step) {
    {
        std::lock_guard<std::mutex> lock(mu_);
        queue_.push_back(std::move(step));
    }
    cv_.notify_one();
}

void TCliHost::Pump(const std::function<bool()>& done, const std::function<void()>& tick) {
    while (!done()) {
        std::function<void()> step;
        {
            std::unique_lock<std::mutex> lock(mu_);
            cv_.wait_for(lock, std::chrono::milliseconds(50), [this] { return !queue_.empty(); });
            if (!queue_.empty()) {
                step = std::move(queue_.front());
                queue_.pop_front();
            }
        }
        if (tick) tick();
        if (step) step();
    }
}

void TCliHost::ClearProgressLine() {
    if (!lineShown_) return;
    std::fputs("\r\033[K", err_);
    lineShown_ = false;
}

void TCliHost::DrawProgress() {
    if (!showProgress_ || !busy_) return;
    std::string text = status_;
    for (char& c : text)
        if (c == '\r' || c == '\n') c = ' ';
    if (text.size() > 100) text.resize(100);
    if (indeterminate_)
        std::fprintf(err_, "\r\033[K%s", text.c_str());
    else
        std::fprintf(err_, "\r\033[K[%5.1f%%] %s", permille_ / 10.0, text.c_str());
    std::fflush(err_);
    lineShown_ = true;
}

void TCliHost::AddMemoLine(const std::string& line) {
    // Per-file recovery failures only reach the log; without -v they would be invisible.
    const bool failure = line.find("  RECOVER ERROR: ") != std::string::npos;
    if (!verbose_ && !failure) return;
    ClearProgressLine();
    std::fprintf(err_, "%s\n", line.c_str());
    DrawProgress();
}

void TCliHost::SetStatusText(const std::string& text) {
    status_ = text;
    DrawProgress();
}

void TCliHost::SetProgress(TProgressStyle style, int position) {
    indeterminate_ = style == TProgressStyle::Indeterminate;
    if (!indeterminate_) permille_ = position;
    DrawProgress();
}

void TCliHost::SetBusyWidgets(bool busy) {
    busy_ = busy;
    permille_ = 0;
    indeterminate_ = false;
    if (!busy) ClearProgressLine();
}

void TCliHost::PopulateResults() {
    if (onPopulate) onPopulate();
}

void TCliHost::ShowWarning(const std::string& text) {
    ClearProgressLine();
    failed_ = true;
    std::fprintf(err_, "brivo-recovery-cli: error: %s\n", text.c_str());
}

void TCliHost::ShowError(const std::string& text) {
    ClearProgressLine();
    failed_ = true;
    std::fprintf(err_, "brivo-recovery-cli: error: %s\n", text.c_str());
}

void TCliHost::ShowInfo(const std::string& text) {
    // The commands print their own summaries on stdout; the box text is for -v only.
    if (!verbose_) return;
    ClearProgressLine();
    std::fprintf(err_, "%s\n", text.c_str());
}

} // namespace brivo::cli
