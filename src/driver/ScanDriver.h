#pragma once
#include <memory>
#include <string>
#include <thread>

#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "core/SourceSelection.h"
#include "engine/EngineFolder.h"

namespace brivo {

// Which way a scan reads its source.
enum class TScanRoute { Ntfs, Fat32, Fls };

// The Scan and Stop commands over a front end's scan state. The worker thread is owned:
// destroying the driver (or Shutdown) requests Stop and joins it, so no queued step
// ever reaches a front end that has gone.
class TScanDriver {
public:
    TScanDriver(TScanState& state, TEngineContext& engine, TScanHost& host);
    ~TScanDriver();
    TScanDriver(const TScanDriver&) = delete;
    TScanDriver& operator=(const TScanDriver&) = delete;

    // The Scan command (UI thread). Returns once the worker runs or the scan was refused.
    void tbFastScanClick(const TScanChoice& choice);
    // The Stop command (UI thread).
    void tbStopClick();
    // True from an accepted Scan until its idle step has run on the UI thread.
    bool Busy() const { return busy_; }
    // Route of the last accepted scan.
    TScanRoute LastRoute() const { return route_; }
    // Requests Stop and waits for the worker; its queued steps may still be pending.
    void Shutdown();

private:
    TScanState& st_;
    TEngineContext& engine_;
    TScanHost& host_;
    std::thread worker_;
    bool busy_ = false;
    TScanRoute route_ = TScanRoute::Fls;
};

} // namespace brivo
