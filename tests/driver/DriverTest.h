#pragma once
#include <gtest/gtest.h>

#include "RecordingHost.h"
#include "TestSupport.h"
#include "driver/ScanDriver.h"
#include "engine/EngineFolder.h"

namespace brivo::test {

// What a driver test runs in: a private folder, a host that records what the driver tells
// the front end, the scan state, and the engine tools unpacked for the test's life.
struct DriverTest : ::testing::Test {
    TempDir dir;
    RecordingHost host;
    TScanState st;
    TEngineContext engine;

    void SetUp() override {
        host.debugLogPath = dir / "debug.log";
        ExtractEmbeddedBinaries(engine.FToolsDir, engine.FExtracted);
    }
    void TearDown() override { DeleteExtractedBinaries(engine.FToolsDir, engine.FExtracted); }
};

} // namespace brivo::test
