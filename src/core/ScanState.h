#pragma once
#include <atomic>
#include <cstdint>
#include <string>

#include "core/FoundFile.h"

namespace brivo {

// What the last scan was run against. Recovery and the Recycle Bin pass run their
// engine commands against the same source with the same switch long after the scan,
// so nothing here is reset when a scan ends.
struct TScanState {
    TFoundFiles FFound;
    std::string FLastSrcForFls;       // empty: no scan has been started
    TScanWhere FLastWhereMode = TScanWhere::swDisk;
    std::string FLastPathFilterNorm;  // "/a/b", "/" or empty
    TMaskList FLastMasks;
    std::string FLastFsSwitch;        // " -f ntfs", " -f fat" or empty
    std::atomic<bool> FStopRequested{false};
    uint64_t FLastProgressTick = 0;   // worker-only while a scan runs

    bool StopRequested() const { return FStopRequested.load(std::memory_order_relaxed); }
};

} // namespace brivo
