#pragma once
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "core/ByteSource.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"
#include "core/ScanHost.h"
#include "core/ScanState.h"
#include "core/SourceSelection.h"
#include "driver/FsReaders.h"
#include "driver/SavedScan.h"
#include "engine/CommandLine.h"
#include "engine/EngineFolder.h"
#include "tskparse/BlklsList.h"
#include "volumes/VolumeList.h"

namespace brivo {

// The work each route runs on the worker thread. The defaults are the file-system
// table's readers; tests replace them to drive every path of the driver.
struct TScanRoutes {
    using DirectScan = TDirectScan;
    using ScopeFilter = std::function<void(TScanState&, TScanHost&, TScanWhere, const std::string&)>;
    // The direct reader of each route the table has.
    std::map<TScanRoute, DirectScan> Direct;
    ScopeFilter Scope;
    static TScanRoutes Default();
};

// The volume a scan reads: chosen once, from the volume list the front end already made
// or one made here, and handed on to the extractors of the scan's results.
struct TChosenVolume {
    std::shared_ptr<const TSourceVolumes> Volumes;
    TVolume Volume;
};

// The Scan and Stop commands over a front end's scan state. The worker thread is owned:
// destroying the driver (or Shutdown) requests Stop and joins it, so no work outlives
// the front end; steps it queued are the front end's to run or drop.
// What a deep scan narrowed to a folder leaves out, and how to get it: the search of the
// free space by content finds files that have no folder, so none of them could be kept
// inside the folder. scanned: the device or image the folder's volume was read from.
std::string FolderDeepScanNote(const std::string& scanned);

class TScanDriver {
public:
    TScanDriver(TScanState& state, TEngineContext& engine, TScanHost& host, TScanRoutes routes = TScanRoutes::Default());
    ~TScanDriver();
    TScanDriver(const TScanDriver&) = delete;
    TScanDriver& operator=(const TScanDriver&) = delete;

    // The Scan command (UI thread). Returns once the worker runs or the scan was refused.
    void tbFastScanClick(const TScanChoice& choice);
    // The same command for a source chosen without the window's controls (the command
    // line's --scope and --where over an image): validation is the caller's. volumes: the
    // source's volume list when the caller has made it already (it is not listed again).
    void ScanSource(const TScanSource& source, const TScanChoice& choice,
                    std::shared_ptr<const TSourceVolumes> volumes = nullptr);
    // The Stop command (UI thread).
    void tbStopClick();
    // The last scan, to be saved (UI thread, once it has ended). Throws std::runtime_error
    // "There is no scan to save." before any scan has listed files.
    TSavedScan LastScanToSave() const;
    // Opens a saved scan in place of scanning: on the worker the file is read, its source
    // opened and checked to be the same volume (number, size, first MiB, and the records
    // each result was found from); then the list, recovery and preview work as after that
    // scan. source: the disk or image to read instead of the path the scan stored (empty:
    // that path). Refusals and failures end like a failed scan (error step).
    void OpenSavedScan(const std::string& file, const std::string& source = {});
    // True from an accepted Scan until its idle step has run on the UI thread.
    bool Busy() const { return busy_; }
    // Route of the last scan that got as far as choosing one.
    TScanRoute LastRoute() const { return route_; }
    // Requests Stop and waits for the worker.
    void Shutdown();

private:
    bool BeginCommand();
    void StartScan(const TScanSource& source, const TScanChoice& choice, std::shared_ptr<const TSourceVolumes> volumes);
    // The scan's steps, in order.
    TChosenVolume ChooseScanVolume(const TScanSource& source, const TScanChoice& choice,
                                   std::shared_ptr<const TSourceVolumes> volumes);
    void RecordScanState(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen);
    std::function<std::unique_ptr<TExtractor>()> MakeExtractorFactory(const TChosenVolume& chosen);
    void LogScanStart(const TScanChoice& choice, const TChosenVolume& chosen);
    void RunRoute(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen);
    // The routes RunRoute asks in turn; each returns false when the scan is not its to run,
    // else starts it (or ends the command with its error) and returns true.
    // A content-only scan: the content search over the whole volume.
    bool RunContentRoute(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen,
                         const TReaderOptions& opts);
    // A kind the driver's file-system table reads directly: its reader.
    bool RunReaderRoute(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen,
                        const TReaderOptions& opts);
    // A deep scan of a volume no signature names: the search for lost NTFS records.
    bool RunLostNtfsRoute(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen,
                          const TReaderOptions& opts);
    // Anything else: the engine's listing (driver/EngineRoute.cpp), and on a deep scan of
    // the whole volume the content search over the free space the engine maps.
    bool RunEngineRoute(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen,
                        const TReaderOptions& opts);
    // A deep scan's content phase on the engine's route (worker): the engine's map of the
    // unallocated blocks, then the content search over them (the whole volume when the map
    // cannot be had).
    TFoundFiles SearchEngineFreeSpace(TByteSource& volume, std::vector<std::string> types);
    // After a deep scan whose file system could not be read: why, and that the content
    // search went on over the whole volume.
    void SayContentOnly(const std::string& why);
    // The engine's file-system switch and volume arguments of the chosen volume.
    TToolCommand EngineBase() const;
    // Drops content finds that start where a deleted file of the parsed listing starts.
    void DropListedStarts(TFoundFiles& found, uint64_t unit);
    // Adds the blocks of the ext3/4 journal that the file system never wrote to list.
    void AddUnwrittenJournal(TByteSource& volume, const TToolCommand& base, const std::string& fsstatText, uint64_t unit,
                             TBlklsFreeList& list);
    void StartWorker(std::function<void()> work, std::function<void()> completion);
    // The direct route's work on the worker: the reader over the volume, then the scope.
    void RunDirect(const TScanRoutes::DirectScan& reader, const TReaderOptions& opts, const char* fsName);
    // The reader over the volume, then what it had to skip tried once more; results that
    // touch what stayed unreadable are marked. Worker thread.
    TReaderResult ReadPastBadAreas(const TScanRoutes::DirectScan& reader, TReaderReport& report, const TReaderOptions& opts);
    // The status and log line about unreadable areas, when there are any. UI thread.
    void NameUnreadableAreas();
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
    // A deep scan of a volume that runs past the end of its image: what is scanned of it.
    std::string cutShort_;
    TScanRoutes routes_;
    std::thread worker_;
    bool busy_ = false;
    TScanRoute route_ = TScanRoute::Fls;
    // The chosen volume's bytes for the direct route's worker (opened on the UI thread,
    // then only read by the worker).
    TByteSourcePtr volume_;
    // The volume of the last scan that started, for saving it.
    TChosenVolume chosen_;
    // When the running scan started, for the elapsed time in its status.
    uint64_t startMs_ = 0;
    // What the direct reader learned about where its files' content lies, filled in by
    // the worker when the reader returns and read by the extractor factory of that scan.
    std::shared_ptr<std::shared_ptr<const TClusterPlanMap>> plans_;
};

// Milliseconds on a monotonic clock (elapsed times of a scan).
uint64_t DriverClockMs();
// "0:07", "12:34", "1:02:03".
std::string ElapsedText(uint64_t ms);

} // namespace brivo
