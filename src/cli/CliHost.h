#pragma once
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "core/ScanHost.h"

namespace brivo::cli {

// The command line's front end: queued steps run on the main thread when it pumps the
// queue; status and progress go to stderr as one line updated in place while a
// terminal watches; log lines go to stderr with --verbose.
class TCliHost : public TScanHost {
public:
    TCliHost(bool verbose, bool showProgress, std::FILE* err = stderr);

    bool IsUiThread() const override;
    void Queue(std::function<void()> step) override;
    void AddMemoLine(const std::string& line) override;
    void ClearMemo() override {}
    void SetStatusText(const std::string& text) override;
    void SetProgress(TProgressStyle style, int position) override;
    void SetBusyWidgets(bool busy) override;
    void ClearResults() override {}
    void PopulateResults() override;
    void ShowWarning(const std::string& text) override;
    void ShowError(const std::string& text) override;
    void ShowInfo(const std::string& text) override;
    std::string DebugLogPath() const override { return debugLogPath_; }

    // Runs queued steps until done() holds after a step, waking at least every 50 ms to
    // call tick() (where the caller turns Ctrl-C into the Stop command).
    void Pump(const std::function<bool()>& done, const std::function<void()>& tick);

    std::function<void()> onPopulate;
    bool failed() const { return failed_; }

private:
    void DrawProgress();
    void ClearProgressLine();

    std::thread::id ui_;
    bool verbose_;
    bool showProgress_;
    std::FILE* err_;
    std::mutex mu_;
    std::condition_variable cv_;
    std::deque<std::function<void()>> queue_;
    std::string status_;
    int permille_ = 0;
    bool indeterminate_ = false;
    bool busy_ = false;
    bool lineShown_ = false;
    bool failed_ = false;
    std::string debugLogPath_;
};

} // namespace brivo::cli
