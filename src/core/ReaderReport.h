#pragma once
#include <cstdint>
#include <string>

namespace brivo {

class TScanHost;
struct TScanState;

// What a direct reader may tell the world while it runs on the scan worker: log lines,
// debug-log lines, progress, and whether the user pressed Stop. Nothing else of the
// front end is in reach, so a reader can be driven by a test or a fuzzer with nothing
// behind it.
class TReaderReport {
public:
    virtual ~TReaderReport() = default;
    // A log line (window memo, CLI -v, debug log). Any thread.
    virtual void Log(const std::string& msg) = 0;
    // A line for the debug log file only. Any thread.
    virtual void DebugLog(const std::string& line) = 0;
    // Many debug lines at once, each ended by CR LF: a reader that writes tens of
    // thousands of them hands them over in blocks. Any thread.
    virtual void DebugLogLines(const std::string& lines);
    // False when debug lines go nowhere, so a reader can skip building them.
    virtual bool DebugEnabled() const { return true; }
    // Progress of the running step; the reader spaces its calls itself. Any thread.
    virtual void Progress(uint64_t position, uint64_t max, const std::string& text) = 0;
    virtual bool StopRequested() const = 0;
    // Texts the user reads (progress captions) pass through this first.
    virtual std::string Translate(const std::string& text) { return text; }
};

// A report that goes nowhere and never stops (tests, fuzzing, previews).
class TNullReport : public TReaderReport {
public:
    void Log(const std::string&) override {}
    void DebugLog(const std::string&) override {}
    void DebugLogLines(const std::string&) override {}
    bool DebugEnabled() const override { return false; }
    void Progress(uint64_t, uint64_t, const std::string&) override {}
    bool StopRequested() const override { return false; }
};

// The report of a scan driven by a front end: SafeLog and SafeProgress through the host,
// debug lines appended to the host's debug log, Stop from the scan state.
class THostReport : public TReaderReport {
public:
    THostReport(TScanHost& host, const TScanState& state) : host_(host), state_(state) {}
    void Log(const std::string& msg) override;
    void DebugLog(const std::string& line) override;
    void DebugLogLines(const std::string& lines) override;
    bool DebugEnabled() const override;
    void Progress(uint64_t position, uint64_t max, const std::string& text) override;
    bool StopRequested() const override;
    std::string Translate(const std::string& text) override;

private:
    TScanHost& host_;
    const TScanState& state_;
};

} // namespace brivo
