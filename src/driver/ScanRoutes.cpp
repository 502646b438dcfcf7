// Which way a scan reads its volume, and the direct readers' way: a reader of the
// file-system table, the search of a volume no signature names, or the content search;
// then a deep scan's search of the free space the reader reports.
#include <stdexcept>

#include "carve/ContentSearch.h"
#include "core/FsDetect.h"
#include "core/ResilientSource.h"
#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "driver/DeepContent.h"
#include "driver/NameCandidates.h"
#include "driver/ScanDriver.h"
#include "driver/ScanDriverParts.h"
#include "driver/UnreadableResults.h"
#include "filters/Masks.h"

namespace brivo {

namespace {

// A deep scan's direct reader followed by the search of the free space it reports, on the
// same worker and the same opening of the volume; the content finds join the list after
// the reader's own, less those that start where a file it met starts.
// A file system the reader cannot read leaves the content search, over the whole volume;
// unreadable then says why.
TScanRoutes::DirectScan WithContentPhase(TScanRoutes::DirectScan reader, std::vector<std::string> types,
                                         std::shared_ptr<std::string> unreadable) {
    return [reader = std::move(reader), types = std::move(types), unreadable](TByteSource& src, TReaderReport& report,
                                                                              const TReaderOptions& opts) {
        TReaderOptions first = opts;
        first.FreeSpaceReadAfter = true;
        TReaderResult r;
        try {
            r = reader(src, report, first);
        } catch (const std::exception& e) {
            if (report.StopRequested()) throw;
            *unreadable = e.what();
            report.Log(std::string("The file system could not be read (") + e.what() +
                       "); the whole volume is searched for files by their content.");
            r = TReaderResult{};
        }
        const std::shared_ptr<TFreeSpaceWatcher> watcher = std::move(r.Watcher);
        TFreeSpaceSearch search;
        search.Areas = std::move(r.FreeAreas);
        search.AreasKnown = r.FreeAreasKnown;
        search.KnownStarts = std::move(r.KnownStarts);
        search.Types = types;
        if (watcher)
            search.EachBlock = [&watcher](uint64_t at, std::span<const uint8_t> bytes, uint64_t starts) {
                watcher->Search(at, bytes, starts);
            };
        TFoundFiles more = SearchFreeSpace(src, report, std::move(search));
        if (watcher) {
            // What the reader found in the same reading joins its own results; content
            // finds where those files start are left out as for the reader's own.
            TReaderResult swept = watcher->Finish();
            DropKnownStarts(more, std::move(swept.KnownStarts));
            r.Found.insert(r.Found.end(), std::make_move_iterator(swept.Found.begin()),
                           std::make_move_iterator(swept.Found.end()));
            r.DeletedFolders.insert(r.DeletedFolders.end(), swept.DeletedFolders.begin(), swept.DeletedFolders.end());
            r.HiddenByMasks += swept.HiddenByMasks;
            r.HiddenByCleanup += swept.HiddenByCleanup;
        }
        ShowNamesBesideContent(r, more, report);
        r.Found.insert(r.Found.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
        return r;
    };
}

} // namespace

// The kinds a content search looks for: those asked for, else those the masks name.
std::vector<std::string> ContentTypesOf(const TScanChoice& choice) {
    if (!choice.ContentTypes.empty()) return choice.ContentTypes;
    if (choice.ShowHidden) return {};
    return ContentTypesFromMasks(ParseMasks(CurrentMaskText(choice)));
}

std::string FolderDeepScanNote(const std::string& scanned) {
    return "The deep scan was narrowed to a folder: the deleted entries inside it are listed, but the search of the free space by content was skipped, as files found by their content have "
           "no folder to keep them in. To search it, deep scan the whole volume: " + scanned;
}

void TScanDriver::RunRoute(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen) {
    if (choice.Deep && source.Where == TScanWhere::swFolder) Log(host_, "WARNING: " + FolderDeepScanNote(source.Src));
    TReaderOptions opts;
    opts.Masks = choice.ShowHidden ? TMaskList{"*"} : st_.FLastMasks;
    // The Recycle Bin's $I/$R names are what the cleanup filter drops as system files.
    opts.Cleanup = !choice.ShowHidden && source.Where != TScanWhere::swRecycleBin;
    opts.Deep = choice.Deep;
    if (choice.Deep) opts.FoundByContent = KindFoundByContent;
    // Whatever a fast scan finds, a deep scan of the whole volume would search its free space too.
    st_.FLastDeepSearchesFreeSpace = !choice.Deep && !choice.ContentOnly && WholeVolume(source);

    // The routes, asked in order; the first that takes the scan runs it. The engine's
    // listing takes whatever the others leave.
    using TRoute = bool (TScanDriver::*)(const TScanSource&, const TScanChoice&, const TChosenVolume&,
                                         const TReaderOptions&);
    for (const TRoute route : {&TScanDriver::RunContentRoute, &TScanDriver::RunReaderRoute,
                               &TScanDriver::RunLostNtfsRoute, &TScanDriver::RunEngineRoute})
        if ((this->*route)(source, choice, chosen, opts)) return;
}

bool TScanDriver::RunContentRoute(const TScanSource&, const TScanChoice& choice, const TChosenVolume&,
                                  const TReaderOptions& opts) {
    if (!choice.ContentOnly) return false;
    // Whatever the file system (or none), the volume's every byte is searched; its
    // results carry their extents, which the extractor reads directly.
    route_ = TScanRoute::Content;
    TCarveOptions carve;
    carve.Types = ContentTypesOf(choice);
    const TScanRoutes::DirectScan search = [carve](TByteSource& src, TReaderReport& report, const TReaderOptions&) {
        // A file's pieces lie on the grid of the file system's clusters where one is there.
        TCarveOptions opts = carve;
        opts.ClusterBytes = VolumeClusterBytes(src);
        return SearchByContent(src, report, opts);
    };
    StartWorker([this, search, opts] { RunDirect(search, opts, "content"); }, [this] { Complete(); });
    return true;
}

bool TScanDriver::RunLostNtfsRoute(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen,
                                   const TReaderOptions& opts) {
    if (!opts.Deep || !Unrecognised(chosen.Volume)) return false;
    // Nothing names what the volume holds: an NTFS volume that lost its boot sector
    // still has its records, and any volume its files' contents.
    route_ = TScanRoute::Content;
    TScanRoutes::DirectScan scan = ScanLostNtfsRecords;
    if (WholeVolume(source))
        scan = WithContentPhase(std::move(scan), ContentTypesOf(choice), std::make_shared<std::string>());
    StartWorker([this, scan, opts] { RunDirect(scan, opts, "lost NTFS"); }, [this] { Complete(); });
    return true;
}

bool TScanDriver::RunReaderRoute(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen,
                                 const TReaderOptions& opts) {
    const TFsReader* reader = FindFsReader(chosen.Volume.Fs.Kind);
    const auto direct = reader ? routes_.Direct.find(reader->Route) : routes_.Direct.end();
    if (direct == routes_.Direct.end()) return false;
    auto unreadable = std::make_shared<std::string>();
    route_ = reader->Route;
    TScanRoutes::DirectScan scan = direct->second;
    const char* scanName = reader->ScanName;
    if (opts.Deep && WholeVolume(source)) scan = WithContentPhase(std::move(scan), ContentTypesOf(choice), unreadable);
    const auto completeSaying = [this, unreadable] {
        Complete();
        if (!unreadable->empty()) SayContentOnly(*unreadable);
    };
    if (reader->Route != TScanRoute::Fat32) {
        StartWorker([this, scan, opts, scanName] { RunDirect(scan, opts, scanName); }, completeSaying);
        return true;
    }
    // One reader serves the three FAT widths; its texts name the volume's own.
    const std::string width = FsKindName(chosen.Volume.Fs.Kind);
    StartWorker([this, scan, opts, scanName] { RunDirect(scan, opts, scanName); },
                [this, width, completeSaying, unreadable] {
                    if (!unreadable->empty()) return completeSaying();
                    UpdateProgress(host_, 0, 0,
                                   Format(FatWidthText(width, host_.Translate("Preparing FAT32 results... Found %d files.")),
                                          {st_.FFound.size()}));
                    Complete();
                    // The status keeps what Complete said ("Scan finished. Found entries: N" and
                    // what was left out), worded as for every other file system.
                    if (!st_.StopRequested()) UpdateProgress(host_, 1000, 1000, {});
                });
    return true;
}

void TScanDriver::RunDirect(const TScanRoutes::DirectScan& reader, const TReaderOptions& opts, const char* fsName) {
    TDriverReport report(host_, st_, startMs_);
    TReaderResult r = ReadPastBadAreas(reader, report, opts);
    volume_.reset();
    st_.FFound = std::move(r.Found);
    st_.FLastHiddenByMasks = r.HiddenByMasks;
    st_.FLastHiddenByCleanup = r.HiddenByCleanup;
    st_.FLastDeepMayFindMore = r.DeepMayFindMore;
    st_.FDeletedFolders = std::move(r.DeletedFolders);
    if (plans_) *plans_ = std::move(r.ClusterPlans);
    routes_.Scope(st_, host_, st_.FLastWhereMode, st_.FLastPathFilterNorm);
    Log(host_, Format("Fast %s records after scope filtering: %d", {fsName, st_.FFound.size()}));
}

TReaderResult TScanDriver::ReadPastBadAreas(const TScanRoutes::DirectScan& reader, TReaderReport& report,
                                            const TReaderOptions& opts) {
    const std::shared_ptr<TUnreadableMap> map = st_.FUnreadable;
    const auto translate = [this](const std::string& t) { return host_.Translate(t); };
    TReaderResult r;
    try {
        r = reader(*volume_, report, opts);
    } catch (const std::exception& e) {
        // A reader that gave up on zeros (a boot sector that could not be read) says why
        // in its own words; the user also learns that the disk is failing.
        const std::string warning = UnreadableWarningText(*map, translate);
        if (warning.empty()) throw;
        throw std::runtime_error(std::string(e.what()) + "\n" + warning);
    }
    if (const auto resilient = std::dynamic_pointer_cast<TResilientSource>(volume_)) {
        if (!resilient->Skipped().empty() && !st_.StopRequested()) {
            report.Progress(0, 0, host_.Translate("Trying the unreadable areas once more..."));
            resilient->RetrySkipped({}, &st_.FStopRequested);
        }
        if (!map->Empty()) {
            SafeLog(host_, Format("Unreadable: %d areas, %d bytes, after %d failed reads",
                                  {map->Count(), map->TotalBytes(), resilient->FailedReads()}));
            if (map->TotalBytes() >= volume_->Size())
                throw std::runtime_error(Format(host_.Translate("Nothing could be read from %s: every read failed "
                                                                "(bad sectors?)."),
                                                {st_.FLastSrcForFls}));
        }
    }
    if (!map->Empty()) {
        const TFsReader* fs = chosen_.Volumes ? FindFsReader(chosen_.Volume.Fs.Kind) : nullptr;
        TResultSpans spansOf;
        if (fs && fs->ResultSpans && route_ != TScanRoute::Content) spansOf = fs->ResultSpans(*volume_, r.ClusterPlans);
        const uint64_t marked = MarkUnreadableResults(r.Found, *map, spansOf, translate);
        SafeLog(host_, Format("Results touching unreadable areas: %d", {marked}));
    }
    return r;
}

void TScanDriver::SayContentOnly(const std::string& why) {
    st_.FLastFsUnreadable = why;
    if (st_.StopRequested()) return;
    SetStatusText(host_, Format(host_.Translate("The file system could not be read (%s); the whole volume was searched "
                                                "for files by their content. Found: %d."),
                                {why.substr(0, why.find('\n')), st_.FFound.size()}));
}

} // namespace brivo
