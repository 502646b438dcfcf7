#pragma once
#include <functional>
#include <string>
#include <thread>

#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "core/SourceSelection.h"
#include "engine/EngineFolder.h"
#include "fat32/FatFragments.h"

namespace brivo {

// Which way a scan reads its source.
enum class TScanRoute { Ntfs, Fat32, Fls };

// The work each route runs on the worker thread. The defaults are the real readers;
// tests replace them to drive every path of the driver.
struct TScanRoutes {
    // A direct reader over the chosen volume's bytes; the driver writes FFound from what
    // it returns.
    using DirectScan = std::function<TReaderResult(TByteSource&, TReaderReport&, const TReaderOptions&)>;
    using ScopeFilter = std::function<void(TScanState&, TScanHost&, TEngineContext&, TScanWhere, const std::string&)>;
    DirectScan Ntfs;
    DirectScan Fat32;
    ScopeFilter Scope;
    static TScanRoutes Default();
};

// The Scan and Stop commands over a front end's scan state. The worker thread is owned:
// destroying the driver (or Shutdown) requests Stop and joins it, so no work outlives
// the front end; steps it queued are the front end's to run or drop.
class TScanDriver {
public:
    TScanDriver(TScanState& state, TEngineContext& engine, TScanHost& host, TScanRoutes routes = TScanRoutes::Default());
    ~TScanDriver();
    TScanDriver(const TScanDriver&) = delete;
    TScanDriver& operator=(const TScanDriver&) = delete;

    // The Scan command (UI thread). Returns once the worker runs or the scan was refused.
    void tbFastScanClick(const TScanChoice& choice);
    // The same command for a source chosen without the window's controls (the command
    // line's --scope and --where over an image): validation is the caller's.
    void ScanSource(const TScanSource& source, const TScanChoice& choice);
    // The Stop command (UI thread).
    void tbStopClick();
    // True from an accepted Scan until its idle step has run on the UI thread.
    bool Busy() const { return busy_; }
    // Route of the last scan that got as far as choosing one.
    TScanRoute LastRoute() const { return route_; }
    // Requests Stop and waits for the worker.
    void Shutdown();

private:
    bool BeginCommand();
    void StartScan(const TScanSource& source, const TScanChoice& choice);
    void StartWorker(std::function<void()> work, std::function<void()> completion);
    // The direct route's work on the worker: the reader over the volume, then the scope.
    void RunDirect(const TScanRoutes::DirectScan& reader, const TReaderOptions& opts, const char* fsName);
    // The completion step of every route: the list, then a status that says how it ended.
    void Complete();
    // The error step: "ERROR: " line, the error box, and the error as the status.
    void ReportError(const std::string& message);
    // A command that ends before its worker starts: idle again, then the error step.
    void Fail(const std::string& message);
    void JoinWorker();

    TScanState& st_;
    TEngineContext& engine_;
    TScanHost& host_;
    TScanRoutes routes_;
    std::thread worker_;
    bool busy_ = false;
    TScanRoute route_ = TScanRoute::Fls;
    // The chosen volume's bytes for the direct route's worker (opened on the UI thread,
    // then only read by the worker).
    TByteSourcePtr volume_;
    // When the running scan started, for the elapsed time in its status.
    uint64_t startMs_ = 0;
    // The FAT route's cluster plans, filled in by the worker when the reader returns and
    // read by the extractor factory of that scan.
    std::shared_ptr<std::shared_ptr<const TFatClusterPlans>> fatPlans_;
};

// Milliseconds on a monotonic clock (elapsed times of a scan).
uint64_t DriverClockMs();
// "0:07", "12:34", "1:02:03".
std::string ElapsedText(uint64_t ms);

} // namespace brivo
