#pragma once
#include <functional>
#include <string>

namespace brivo {

// Progress bar display mode chosen by UpdateProgress / SetBusy.
enum class TProgressStyle { Normal, Indeterminate };

// What scanners, filters, the driver and recovery need from a front end. The window
// implements it with widgets and queued calls, the command line with a queue drained
// on its main thread, tests with a recording fake. Only Log-related calls and Queue
// may be made off the UI thread; the rest are UI-thread only.
class TScanHost {
public:
    virtual ~TScanHost() = default;

    // --- threading
    virtual bool IsUiThread() const = 0;
    // Appends a step to the UI thread's queue; never waits. Steps run in queue order.
    virtual void Queue(std::function<void()> step) = 0;

    // --- widgets (UI thread only)
    virtual void AddMemoLine(const std::string& line) = 0;
    virtual void ClearMemo() = 0;
    virtual void SetStatusText(const std::string& text) = 0;
    // Position is on the 0..1000 scale; ignored for Indeterminate.
    virtual void SetProgress(TProgressStyle style, int position) = 0;
    // Enables/disables commands, cursor, and shows/hides the progress bar (reset to 0).
    virtual void SetBusyWidgets(bool busy) = 0;

    // --- results list (UI thread only)
    // Removes every row of the results list (one update bracket).
    virtual void ClearResults() = 0;
    // Rebuilds the list from the scan state's FFound (sort, check marks, status text).
    virtual void PopulateResults() = 0;

    // --- boxes (UI thread only)
    virtual void ShowWarning(const std::string& text) = 0;
    virtual void ShowError(const std::string& text) = 0;
    virtual void ShowInfo(const std::string& text) = 0;

    // --- texts and files
    virtual std::string Translate(const std::string& text) { return text; }
    // Full path of the debug log file; empty disables file logging.
    virtual std::string DebugLogPath() const = 0;
};

} // namespace brivo
