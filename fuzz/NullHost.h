#pragma once
#include <functional>
#include <string>

#include "core/ScanHost.h"

namespace brivo::fuzz {

// A front end that shows nothing and drops queued steps: a fuzzed scan runs alone on
// its thread, and only crashes, hangs and sanitizer reports matter.
class NullHost : public TScanHost {
public:
    explicit NullHost(std::string debugLogPath = {}) : debugLogPath_(std::move(debugLogPath)) {}
    bool IsUiThread() const override { return false; }
    void Queue(std::function<void()>) override {}
    void AddMemoLine(const std::string&) override {}
    void ClearMemo() override {}
    void SetStatusText(const std::string&) override {}
    void SetProgress(TProgressStyle, int) override {}
    void SetBusyWidgets(bool) override {}
    void ClearResults() override {}
    void PopulateResults() override {}
    void ShowWarning(const std::string&) override {}
    void ShowError(const std::string&) override {}
    void ShowInfo(const std::string&) override {}
    std::string DebugLogPath() const override { return debugLogPath_; }

private:
    std::string debugLogPath_;
};

} // namespace brivo::fuzz
