#pragma once
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "core/ScanHost.h"

namespace brivo::test {

// A front end that records what it is asked to show, as "kind: text" events, and
// holds queued steps until the test drains them on the "UI" thread (the one that
// created it).
class RecordingHost : public TScanHost {
public:
    RecordingHost();

    bool IsUiThread() const override;
    void Queue(std::function<void()> step) override;
    void AddMemoLine(const std::string& line) override;
    void ClearMemo() override;
    void SetStatusText(const std::string& text) override;
    void SetProgress(TProgressStyle style, int position) override;
    void SetBusyWidgets(bool busy) override;
    void ShowWarning(const std::string& text) override;
    void ShowError(const std::string& text) override;
    void ShowInfo(const std::string& text) override;
    void ClearResults() override { events.push_back("clear-results: "); }
    void PopulateResults() override;
    std::string DebugLogPath() const override { return debugLogPath; }

    // Called by PopulateResults when set (tests plug in the results model here).
    std::function<void()> onPopulate;

    // Runs queued steps (including ones they queue) until the queue is empty.
    // Returns how many ran.
    size_t Drain();
    size_t Pending() const;

    // The memo lines without their "hh:nn:ss  " time stamps.
    std::vector<std::string> MemoMessages() const;
    // Events of one kind ("status", "memo", "progress", "busy", "warning", "error", "info").
    std::vector<std::string> EventsOf(const std::string& kind) const;

    std::vector<std::string> events;  // "kind: text" in call order
    std::vector<std::string> memo;
    std::string status;
    int progress = 0;
    bool indeterminate = false;
    bool busy = false;
    std::string debugLogPath;

private:
    std::thread::id ui_;
    mutable std::mutex mu_;
    std::deque<std::function<void()>> queue_;
};

} // namespace brivo::test
