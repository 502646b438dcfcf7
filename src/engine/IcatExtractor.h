#pragma once
#include <cstdint>
#include <memory>
#include <string>

#include "core/Extractor.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "engine/CommandLine.h"
#include "engine/EngineFolder.h"

namespace brivo {

// Inode trimmed, every "*" removed, tabs made blanks, trimmed again.
std::string CleanMetaAddress(const std::string& inode);
// One to three groups of ASCII digits joined by "-" (record, attribute type, attribute id),
// after trimming blanks and control characters; "" and "(deleted)" are refused.
bool IsValidMetaAddress(const std::string& text);

// What icat needs to find a file again: the source and the switches of the scan that
// listed it.
struct TIcatSource {
    std::string Source;         // image file or device
    std::string FsSwitch;       // " -f ntfs", " -f fat" or empty
    std::string ImageType;      // the engine's image type ("ewf", "vhd"...); empty: raw
    uint64_t SectorOffset = 0;  // the volume's start in sectors; 0: the source's start
};

// The last scan's source and switches.
TIcatSource IcatSourceOf(const TScanState& state);

// icat <fs switch> [-i type] [-o offset] -R <source> <address>. -R asks the engine for a
// deleted entry's content without stopping at recovery errors.
TToolCommand BuildIcatCommand(const std::string& icatPath, const TIcatSource& source, const std::string& address);

// The extractor for results the engine listed (and the fallback for every other route):
// one icat run per result, its standard output streamed into the sink as it arrives.
// Logs "> <command>" before each run. Throws TExtractionStopped when the runner was
// stopped (or the sink stopped it), std::runtime_error with the tool's error text, or
// "Process failed, exit code N", when the run failed; what it wrote is then no result.
// ctx and host must outlive it; runs on the thread that calls Extract.
std::unique_ptr<TExtractor> MakeIcatExtractor(TEngineContext& ctx, TScanHost& host, TIcatSource source);

} // namespace brivo
