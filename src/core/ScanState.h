#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "core/Extractor.h"
#include "core/FoundFile.h"
#include "core/UnreadableMap.h"

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
    // Where the last scan's volume lies in its source, for the engine tools run against
    // it later (icat, the Recycle Bin pass, folder lookups): the engine's image type
    // ("ewf", "vhd", "vmdk"; empty for a raw file or device) and the volume's start in
    // 512-byte sectors (its -o; 0 at the source's start). FLastVolume is the volume's
    // number as the volume list gives it (0: the source was scanned as a whole).
    std::string FLastImageType;
    uint64_t FLastSectorOffset = 0;
    uint32_t FLastVolume = 0;
    std::atomic<bool> FStopRequested{false};
    uint64_t FLastProgressTick = 0;   // worker-only while a scan runs
    // Opens the extractor that matches the last scan's route and volume (a direct
    // reader's own over a fresh byte source, or icat). Set by the driver when a scan
    // starts; each call gives a new extractor, so recovery and preview never share one.
    std::function<std::unique_ptr<TExtractor>()> FMakeExtractor;
    // Ends at once whatever the route runs in other processes for its extractor (the
    // engine's tools), so Stop is not left waiting for a slow child. Set with
    // FMakeExtractor; any thread.
    std::function<void()> FStopTools;
    // What the last scan left out and whether a deep scan may find more (status texts).
    uint64_t FLastHiddenByMasks = 0;
    uint64_t FLastHiddenByCleanup = 0;
    bool FLastDeepMayFindMore = false;
    // The deleted folders the readers met, as the results' paths name them (the folder tree).
    std::vector<std::string> FDeletedFolders;
    // A fast scan of a whole volume: a deep scan would also search its free space.
    bool FLastDeepSearchesFreeSpace = false;
    // Why the last deep scan could not read the file system, whose volume was then
    // searched by content alone; empty when it was read.
    std::string FLastFsUnreadable;
    // What the last scan's volume would not give (bad sectors), in volume offsets; shared
    // with the extractors made for it, whose reads add to it. Empty after an engine scan,
    // whose tools read the source themselves.
    std::shared_ptr<TUnreadableMap> FUnreadable = std::make_shared<TUnreadableMap>();

    bool StopRequested() const { return FStopRequested.load(std::memory_order_relaxed); }
};

// The engine's options that pick a volume out of its source: "-i TYPE" for a container
// (imageType empty: a raw file or device), "-o N" for a volume that starts N 512-byte
// sectors into it. Every engine command run against a scanned volume gets its words here.
inline std::vector<std::string> EngineVolumeArgs(const std::string& imageType, uint64_t sectorOffset) {
    std::vector<std::string> args;
    if (!imageType.empty()) args = {"-i", imageType};
    if (sectorOffset != 0) {
        args.push_back("-o");
        args.push_back(std::to_string(sectorOffset));
    }
    return args;
}

// The same for the last scan's volume, as words with a leading blank each
// (" -i ewf -o 2048") to follow the file-system switch; empty for a raw source scanned
// from its start.
inline std::string EngineVolumeWords(const TScanState& st) {
    std::string w;
    for (const std::string& a : EngineVolumeArgs(st.FLastImageType, st.FLastSectorOffset)) w += " " + a;
    return w;
}

} // namespace brivo
