#include "driver/ScanDriver.h"

#include <unistd.h>

#include <cerrno>

#include "core/Text.h"
#include "platform/Devices.h"

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "core/FsDetect.h"
#include "core/ResilientSource.h"
#include "carve/ContentSearch.h"
#include "driver/DeepContent.h"
#include "filters/ScopeFilter.h"
#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "engine/CommandLine.h"
#include "filters/Masks.h"
#include "core/SourceSelection.h"
#include "tskparse/BlklsList.h"
#include "tskparse/ExtJournalTail.h"
#include "tskparse/FlsOutputParser.h"
#include "tskparse/PathInode.h"
#include "engine/IcatExtractor.h"
#include "engine/ToolOutputDecode.h"
#include "volumes/FsProbe.h"
#include "volumes/VolumeList.h"
#include "driver/UnreadableResults.h"

namespace brivo {

namespace {

std::string TrimBlanks(const std::string& s) { return std::string(TrimView(s)); }

// The report of a direct reader: the host's, with the scan's elapsed time after every
// progress text, so a long step visibly moves.
class TDriverReport final : public THostReport {
public:
    TDriverReport(TScanHost& host, const TScanState& state, uint64_t startMs)
        : THostReport(host, state), startMs_(startMs) {}
    void Progress(uint64_t position, uint64_t max, const std::string& text) override {
        THostReport::Progress(position, max, text.empty() ? text : WithElapsed(text));
    }
    std::string WithElapsed(const std::string& text) {
        return text + " " + Format(Translate("(%s elapsed)"), {ElapsedText(DriverClockMs() - startMs_)});
    }

private:
    uint64_t startMs_;
};

// The error of an engine listing that failed, in words, with the engine's text after.
std::string EngineListingError(const TScanState& st, const std::string& fsName, const std::string& toolText) {
    std::string where = st.FLastSrcForFls;
    if (st.FLastVolume != 0) where += Format(", volume %d", {st.FLastVolume});
    std::string msg = fsName.empty()
                          ? "No known file system was found on " + where +
                                ": it is not a disk image, or it holds a file system the program cannot read. A deep scan "
                                "still searches it for lost NTFS records and for files by their content."
                          : "The engine tools could not list the files of the " + fsName + " file system on " + where + ".";
    // The engine's guesses about bytes it cannot name ("Possible encryption detected")
    // say less than the sentence above and alarm for nothing: they stay in the log.
    const bool guess = toolText.find("Cannot determine file system type") != std::string::npos ||
                       toolText.find("Possible encryption detected") != std::string::npos;
    if (!toolText.empty() && !(fsName.empty() && guess)) msg += "\nEngine: " + toolText;
    // The engine tools open the disk themselves, as the user: the read-only opening the
    // disk service hands this program cannot be passed on to them.
    if (IsDeviceSource(st.FLastSrcForFls) && ::access(st.FLastSrcForFls.c_str(), R_OK) != 0 &&
        (errno == EACCES || errno == EPERM))
        msg += "\nThe engine tools cannot read a disk that you may not open yourself. Save a disk image of it "
               "first (Save Disk Image in the window, 'brivo-recovery-cli image' on the command line) and scan the "
               "image, or run the program as root.";
    return msg;
}

// A scan of a whole disk or image, not narrowed to a folder: only then is its free space
// searched, as what the content search finds has no folder.
bool WholeVolume(const TScanSource& source) {
    return source.Where == TScanWhere::swDisk || source.Where == TScanWhere::swDiskImage;
}

// A volume no signature names (neither one read directly nor one the engine knows).
bool Unrecognised(const TVolume& v) { return v.Fs.Kind == TFsKind::NotRecognised && v.Fs.Name.empty(); }

// The kinds a content search looks for: those asked for, else those the masks name.
std::vector<std::string> ContentTypesOf(const TScanChoice& choice) {
    if (!choice.ContentTypes.empty()) return choice.ContentTypes;
    if (choice.ShowHidden) return {};
    return ContentTypesFromMasks(ParseMasks(CurrentMaskText(choice)));
}

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
        r.Found.insert(r.Found.end(), std::make_move_iterator(more.begin()), std::make_move_iterator(more.end()));
        return r;
    };
}

} // namespace

TScanDriver::TScanDriver(TScanState& state, TEngineContext& engine, TScanHost& host, TScanRoutes routes)
    : st_(state), engine_(engine), host_(host), routes_(std::move(routes)) {}

TScanDriver::~TScanDriver() { Shutdown(); }

void TScanDriver::Shutdown() {
    if (!worker_.joinable()) return;
    st_.FStopRequested = true;
    engine_.FRunner.Stop();
    worker_.join();
}

void TScanDriver::JoinWorker() {
    // The previous worker queued its idle step as its very last act, so this returns
    // at once; it only reclaims the thread.
    if (worker_.joinable()) worker_.join();
}

void TScanDriver::ReportError(const std::string& message) {
    Log(host_, "ERROR: " + message);
    // The status keeps the error's first line, not the last step's "starting..." text.
    SetStatusText(host_, message.substr(0, message.find('\n')));
    host_.ShowError(message);
}

void TScanDriver::Fail(const std::string& message) {
    SetBusy(host_, false);
    busy_ = false;
    ReportError(message);
}

void TScanDriver::StartWorker(std::function<void()> work, std::function<void()> completion) {
    JoinWorker();
    worker_ = std::thread([this, work = std::move(work), completion = std::move(completion)] {
        try {
            work();
            // The completion step can still fail on the UI thread (a malformed mask is
            // only found when the fls listing is parsed there); it then ends like a
            // failed worker instead of escaping into the front end's event loop.
            host_.Queue([this, completion] {
                try {
                    completion();
                    NameUnreadableAreas();
                } catch (const std::exception& e) {
                    ReportError(e.what());
                }
            });
        } catch (const std::exception& e) {
            host_.Queue([this, msg = std::string(e.what())] { ReportError(msg); });
        } catch (...) {
            host_.Queue([this] { ReportError("Unknown error"); });
        }
        host_.Queue([this] {
            SetBusy(host_, false);
            busy_ = false;
        });
    });
}

bool TScanDriver::BeginCommand() {
    if (busy_) return false;
    if (!CheckRequiredFiles(engine_, host_)) return false;
    st_.FFound.clear();
    st_.FDeletedFolders.clear();
    host_.ClearResults();
    return true;
}

void TScanDriver::tbFastScanClick(const TScanChoice& choice) {
    if (!BeginCommand()) return;
    TScanSource source;
    try {
        if (!BuildScanSource(choice, host_, source)) return;
    } catch (const std::exception& e) {
        host_.ShowError(e.what());
        return;
    }
    StartScan(source, choice, nullptr);
}

void TScanDriver::ScanSource(const TScanSource& source, const TScanChoice& choice,
                             std::shared_ptr<const TSourceVolumes> volumes) {
    if (!BeginCommand()) return;
    StartScan(source, choice, std::move(volumes));
}

void TScanDriver::StartScan(const TScanSource& source, const TScanChoice& choice,
                            std::shared_ptr<const TSourceVolumes> volumes) {
    // The source as a disk: its container, partition table and the volume to scan. All of
    // it reads only a few sectors, so it runs here and a bad source is refused before any
    // worker starts.
    TChosenVolume chosen;
    // Every read of this scan, and of recovery from it, reads past bad sectors and names
    // them here.
    st_.FUnreadable = std::make_shared<TUnreadableMap>();
    try {
        chosen = ChooseScanVolume(source, choice, std::move(volumes));
        volume_ = MakeResilientSource(OpenVolumeSource(*chosen.Volumes, chosen.Volume), st_.FUnreadable);
    } catch (const std::exception& e) {
        ReportError(e.what());
        return;
    }
    RecordScanState(source, choice, chosen);
    st_.FMakeExtractor = MakeExtractorFactory(chosen);
    chosen_ = chosen;
    LogScanStart(choice, chosen);
    if (!cutShort_.empty()) Log(host_, cutShort_);
    RunRoute(source, choice, chosen);
}

TSavedScan TScanDriver::LastScanToSave() const {
    if (!chosen_.Volumes || st_.FLastSrcForFls.empty()) throw std::runtime_error("There is no scan to save.");
    TSavedScan s;
    s.Identity = IdentifyVolume(*chosen_.Volumes, chosen_.Volume);
    // Stored absolute, so the file still finds its source when opened from another folder.
    s.Identity.Source = st_.FLastSrcForFls;
    if (!s.Identity.Source.empty() && s.Identity.Source.front() != '/')
        s.Identity.Source = std::filesystem::absolute(s.Identity.Source).lexically_normal().string();
    s.Where = st_.FLastWhereMode;
    s.Scope = st_.FLastPathFilterNorm;
    s.Masks = st_.FLastMasks;
    s.FsSwitch = st_.FLastFsSwitch;
    s.Route = RouteName(route_);
    s.HiddenByMasks = st_.FLastHiddenByMasks;
    s.HiddenByCleanup = st_.FLastHiddenByCleanup;
    s.DeepMayFindMore = st_.FLastDeepMayFindMore;
    s.Found = st_.FFound;
    s.DeletedFolders = st_.FDeletedFolders;
    if (plans_) s.Plans = *plans_;
    const TByteSourcePtr volume = OpenVolumeSource(*chosen_.Volumes, chosen_.Volume);
    s.Checks = ResultChecks(*volume, chosen_.Volume.Fs.Kind, s.Found);
    return s;
}

void TScanDriver::OpenSavedScan(const std::string& file, const std::string& source) {
    if (!BeginCommand()) return;
    SetBusy(host_, true);
    busy_ = true;
    SetStatusText(host_, host_.Translate("Opening the saved scan..."));
    host_.ClearMemo();
    Log(host_, "Opening saved scan: " + file);
    auto saved = std::make_shared<TSavedScan>();
    auto chosen = std::make_shared<TChosenVolume>();
    StartWorker(
        [this, file, source, saved, chosen] {
            *saved = ReadSavedScan(file);
            const std::string scanned = Format("volume %d of %s", {saved->Identity.Volume, saved->Identity.Source});
            // The source the user names wins over the path the scan stored: the same disk
            // may have another name now, or the image may have moved.
            const bool named = !source.empty() && source != saved->Identity.Source;
            const std::string src = named ? source : saved->Identity.Source;
            if (named) Log(host_, "Source given: " + src + " (the scan was made of " + saved->Identity.Source + ").");
            const std::string what = named ? Format("%s is not the volume this scan was made of (%s)", {src, scanned})
                                           : Format("Volume %d of %s is not the one this scan was made of",
                                                    {saved->Identity.Volume, saved->Identity.Source});
            try {
                chosen->Volumes = std::make_shared<const TSourceVolumes>(ListVolumes(src));
                chosen->Volume = ChooseVolume(*chosen->Volumes, saved->Identity.Volume);
            } catch (const std::exception& e) {
                if (!named) throw;
                throw std::runtime_error(what + ": " + e.what());
            }
            const TScanIdentity now = IdentifyVolume(*chosen->Volumes, chosen->Volume);
            std::string differs;
            if (now.Size != saved->Identity.Size)
                differs = Format("its size is %d bytes, the scan's was %d", {now.Size, saved->Identity.Size});
            else if (now.FirstMiBSha256 != saved->Identity.FirstMiBSha256)
                differs = "its first MiB has changed";
            if (differs.empty() && saved->Checks.empty()) {
                Log(host_, "This saved scan holds no checks of its results (an older version wrote it): only the "
                           "volume's size and first MiB were compared with the source.");
            } else if (differs.empty()) {
                // What the results were listed from (their records, directory entries, a
                // content find's first bytes) must still be what the scan read, wherever
                // it lies in the volume: records reused since would be copied as if they
                // still described the deleted files.
                const TByteSourcePtr volume = OpenVolumeSource(*chosen->Volumes, chosen->Volume);
                std::string first;
                const size_t changed = CountChangedResults(*volume, chosen->Volume.Fs.Kind, *saved, first);
                if (changed > 0)
                    differs = Format("it has been written to since the scan: what %d of its %d results were found "
                                     "from (their records or first bytes) has changed, e.g. for %s",
                                     {changed, saved->Found.size(), first});
            }
            if (!differs.empty()) throw std::runtime_error(what + ": " + differs + ". Scan it again.");
            saved->Identity.Source = src;
            st_.FFound = std::move(saved->Found);
            st_.FDeletedFolders = std::move(saved->DeletedFolders);
        },
        [this, saved, chosen] {
            TScanSource source;
            source.Src = saved->Identity.Source;
            source.PathFilter = saved->Scope;
            source.Where = saved->Where;
            RecordScanState(source, TScanChoice{}, *chosen);
            st_.FLastMasks = saved->Masks;
            st_.FLastHiddenByMasks = saved->HiddenByMasks;
            st_.FLastHiddenByCleanup = saved->HiddenByCleanup;
            st_.FLastDeepMayFindMore = saved->DeepMayFindMore;
            st_.FUnreadable = std::make_shared<TUnreadableMap>();
            st_.FMakeExtractor = MakeExtractorFactory(*chosen);
            if (plans_) *plans_ = saved->Plans;
            chosen_ = *chosen;
            const TFsReader* reader = FindFsReader(chosen->Volume.Fs.Kind);
            route_ = reader ? reader->Route : TScanRoute::Fls;
            Log(host_, Format("Saved scan opened: %d entries of %s, volume %d.",
                              {st_.FFound.size(), saved->Identity.Source, saved->Identity.Volume}));
            Complete();
        });
}

TChosenVolume TScanDriver::ChooseScanVolume(const TScanSource& source, const TScanChoice& choice,
                                            std::shared_ptr<const TSourceVolumes> volumes) {
    TChosenVolume chosen;
    cutShort_.clear();
    chosen.Volumes = volumes ? std::move(volumes) : std::make_shared<const TSourceVolumes>(ListVolumes(source.Src));
    const TSourceVolumes& vols = *chosen.Volumes;
    try {
        chosen.Volume = ChooseVolume(vols, choice.Volume);
    } catch (const TVolumeChoiceError&) {
        const auto it = std::find_if(vols.Volumes.begin(), vols.Volumes.end(),
                                     [&](const TVolume& v) { return v.Index == choice.Volume; });
        if (!choice.Deep || it == vols.Volumes.end()) throw;
        chosen.Volume = *it;
    }
    // A volume that runs past the end of an image cut short still holds what was copied:
    // a deep scan reads that much of it (its file system, if it can, and its content).
    const uint64_t diskSectors = vols.SectorSize ? vols.DiskSize / vols.SectorSize : 0;
    TVolume& v = chosen.Volume;
    if (choice.Deep && !v.Readable && VolumeIsSlice(vols, v) && v.StartSector < diskSectors &&
        v.SectorCount > diskSectors - v.StartSector) {
        cutShort_ = Format("Volume %d of %s %s; its first %d bytes are scanned.",
                           {v.Index, vols.Source, v.Problem, (diskSectors - v.StartSector) * vols.SectorSize});
        v.SectorCount = diskSectors - v.StartSector;
        v.SizeBytes = v.SectorCount * vols.SectorSize;
        v.Readable = true;
        try {
            v.Fs = ProbeFileSystem(*OpenVolumeSource(vols, v));
        } catch (const std::exception&) {
            v.Fs = {};
        }
    }
    return chosen;
}

void TScanDriver::RecordScanState(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen) {
    const TSourceVolumes& vols = *chosen.Volumes;
    const TVolume& vol = chosen.Volume;
    st_.FLastSrcForFls = source.Src;
    st_.FLastWhereMode = source.Where;
    st_.FLastPathFilterNorm = source.PathFilter;
    st_.FLastMasks = ParseMasks(CurrentMaskText(choice));
    const bool partitioned = VolumeIsSlice(vols, vol);
    st_.FLastVolume = partitioned ? vol.Index : 0;
    st_.FLastSectorOffset = partitioned ? vol.StartSector * (vols.SectorSize / 512) : 0;
    st_.FLastImageType = vols.Container == TContainerKind::Raw ? std::string() : EngineImageType(vols.Container);
    st_.FLastFsSwitch = FsSwitchForKind(vol.Fs.Kind);
    st_.FStopRequested = false;
    st_.FLastProgressTick = 0;
    st_.FLastHiddenByMasks = 0;
    st_.FLastHiddenByCleanup = 0;
    st_.FLastDeepMayFindMore = false;
    st_.FLastDeepSearchesFreeSpace = false;
    st_.FLastFsUnreadable.clear();
    TEngineContext& engine = engine_;
    st_.FStopTools = [&engine] { engine.FRunner.Stop(); };
    startMs_ = DriverClockMs();
}

namespace {

// What the engine would have copied, on a source the engine cannot open: every such
// result fails with the reason and what to do instead.
class TRefusingExtractor final : public TExtractor {
public:
    explicit TRefusingExtractor(std::string why) : why_(std::move(why)) {}
    void Extract(const TFoundFile&, TByteSink&) override { throw std::runtime_error(why_); }

private:
    std::string why_;
};

} // namespace

std::function<std::unique_ptr<TExtractor>()> TScanDriver::MakeExtractorFactory(const TChosenVolume& chosen) {
    // Recovery and preview read the scanned volume again: the reader's own extraction
    // over a fresh opening of it (byte sources serve one thread), with icat at the same
    // offset for what the reader leaves; icat alone on the engine's route; results found
    // by their content straight from their extents. The factory outlives this driver (the
    // command line recovers after the scan), so it holds only what the front end owns.
    TIcatSource icat;
    icat.Source = st_.FLastSrcForFls;
    icat.FsSwitch = st_.FLastFsSwitch;
    icat.ImageType = st_.FLastImageType;
    icat.SectorOffset = st_.FLastSectorOffset;
    std::string engineRefusal;
    try {
        EngineVolumeArgs(*chosen.Volumes, chosen.Volume);
    } catch (const std::exception& e) {
        engineRefusal = e.what();
    }
    const TFsReader* reader = FindFsReader(chosen.Volume.Fs.Kind);
    plans_ = reader ? std::make_shared<std::shared_ptr<const TClusterPlanMap>>() : nullptr;
    // The disk is opened again for each extractor; the scan's own opening is not kept.
    auto vols = std::make_shared<TSourceVolumes>(*chosen.Volumes);
    if (vols->ReopenDisk) vols->Disk.reset();
    TEngineContext& engine = engine_;
    TScanHost& host = host_;
    std::shared_ptr<TUnreadableMap> unreadable = st_.FUnreadable;
    return [&engine, &host, icat, engineRefusal, reader, plans = plans_, vols, vol = chosen.Volume, unreadable]() {
        std::unique_ptr<TExtractor> viaEngine;
        if (engineRefusal.empty()) viaEngine = MakeIcatExtractor(engine, host, icat);
        else viaEngine = std::make_unique<TRefusingExtractor>(engineRefusal);
        // Never strict: recovery watches for zero-filled bytes and fails the file at the
        // first one unless the user keeps damaged files.
        TByteSourcePtr volume = MakeResilientSource(ReopenVolumeSource(*vols, vol), unreadable);
        std::unique_ptr<TExtractor> own =
            reader ? reader->MakeExtractor(volume, engineRefusal.empty() ? std::move(viaEngine) : nullptr,
                                           plans ? *plans : nullptr)
            : Unrecognised(vol) ? MakeLostNtfsRecordExtractor(volume, std::move(viaEngine))
                                : std::move(viaEngine);
        return MakeExtentExtractor(std::move(volume), std::move(own));
    };
}

void TScanDriver::LogScanStart(const TScanChoice& choice, const TChosenVolume& chosen) {
    const TSourceVolumes& vols = *chosen.Volumes;
    SetBusy(host_, true);
    busy_ = true;
    SetStatusText(host_, host_.Translate("Fast scan... detecting file system..."));
    UpdateProgress(host_, 0, 1000, host_.Translate("Fast scan starting..."));
    host_.ClearMemo();
    TruncateDebugLog(host_.DebugLogPath());
    Log(host_, "Fast scan...");
    if (!host_.DebugLogPath().empty()) Log(host_, "Debug log file: " + host_.DebugLogPath());
    Log(host_, "Where: " + choice.WhereText + " | What: " + choice.WhatText);
    if (vols.Container != TContainerKind::Raw || vols.Scheme != TPartitionScheme::None)
        Log(host_, Format("Source: %s image, %s partition table; volume %d: %s",
                          {vols.ContainerFormat, PartitionSchemeName(vols.Scheme), chosen.Volume.Index,
                           DescribeVolume(chosen.Volume, vols.SectorSize)}));
    const std::string cutShort = CutShortWarning(vols, chosen.Volume);
    if (!cutShort.empty()) Log(host_, "WARNING: " + cutShort);
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
    // Whatever a fast scan finds, a deep scan of the whole volume would search its free space too.
    st_.FLastDeepSearchesFreeSpace = !choice.Deep && !choice.ContentOnly && WholeVolume(source);

    if (choice.ContentOnly) {
        // Whatever the file system (or none), the volume's every byte is searched; its
        // results carry their extents, which the extractor reads directly.
        route_ = TScanRoute::Content;
        TCarveOptions carve;
        carve.Types = ContentTypesOf(choice);
        const TScanRoutes::DirectScan search = [carve](TByteSource& src, TReaderReport& report, const TReaderOptions&) {
            return SearchByContent(src, report, carve);
        };
        StartWorker([this, search, opts] { RunDirect(search, opts, "content"); }, [this] { Complete(); });
        return;
    }
    const TFsReader* reader = FindFsReader(chosen.Volume.Fs.Kind);
    const auto direct = reader ? routes_.Direct.find(reader->Route) : routes_.Direct.end();
    auto unreadable = std::make_shared<std::string>();
    if (direct == routes_.Direct.end() && opts.Deep && Unrecognised(chosen.Volume)) {
        // Nothing names what the volume holds: an NTFS volume that lost its boot sector
        // still has its records, and any volume its files' contents.
        route_ = TScanRoute::Content;
        TScanRoutes::DirectScan scan = ScanLostNtfsRecords;
        if (WholeVolume(source)) scan = WithContentPhase(std::move(scan), ContentTypesOf(choice), unreadable);
        StartWorker([this, scan, opts] { RunDirect(scan, opts, "lost NTFS"); }, [this] { Complete(); });
        return;
    }
    if (direct == routes_.Direct.end()) {
        RunEngineRoute(source, choice, chosen, opts);
        return;
    }
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
        return;
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
}

void TScanDriver::RunEngineRoute(const TScanSource& source, const TScanChoice& choice, const TChosenVolume& chosen,
                                 const TReaderOptions& opts) {
    route_ = TScanRoute::Fls;
    // A deep scan searches the free space after the listing, through this opening.
    std::shared_ptr<TByteSource> volume;
    if (opts.Deep && WholeVolume(source)) volume = std::move(volume_);
    volume_.reset();
    auto content = std::make_shared<TFoundFiles>();
    const std::string fsName = chosen.Volume.Fs.Name;
    std::string startInode;
    TToolCommand cmd;
    try {
        // A container the engine cannot open ends here, with what to do instead.
        const std::vector<std::string> volumeArgs = EngineVolumeArgs(*chosen.Volumes, chosen.Volume);
        if (source.Where == TScanWhere::swFolder || source.Where == TScanWhere::swRecycleBin) {
            startInode = ResolvePathInode(st_, engine_, host_, source.Src, source.PathFilter);
            Log(host_, Format("Resolved start directory inode: %s (path %s)", {startInode, source.PathFilter}));
        }
        cmd.Program = RequireTool(engine_, host_, "fls");
        cmd.AddWords(st_.FLastFsSwitch);
        for (const auto& a : volumeArgs) cmd.Add(a);
        cmd.Add("-r").Add("-p").Add("-m").Add("/").Add("-d").AddPath(source.Src);
        const std::string start = TrimBlanks(startInode);
        if (!start.empty()) cmd.Add(start);
    } catch (const std::exception& e) {
        Fail(e.what());
        return;
    }
    Log(host_, "Fallback to fls for non-NTFS scan path.");
    Log(host_, "> " + cmd.Display());

    auto out = std::make_shared<std::string>();
    auto unlisted = std::make_shared<std::string>();  // why the listing failed, on a deep scan
    auto parsed = std::make_shared<bool>(false);
    StartWorker(
        [this, cmd, out, fsName, volume, content, unlisted, parsed, opts, types = ContentTypesOf(choice)] {
            // The listing streams in; the status shows how far it got and for how long.
            const std::string listing = host_.Translate("Listing files with the engine tools...");
            TDriverReport report(host_, st_, startMs_);
            uint64_t lines = 0;
            uint64_t lastShown = 0;
            const TChildEnd end = engine_.FRunner.RunStreaming(cmd.Program, cmd.Args, [&](std::span<const uint8_t> piece) {
                if (out->size() + piece.size() > TTSKRunner::kDefaultMaxCaptureBytes)
                    throw std::runtime_error("The engine tool wrote more than 1024 MiB; it was stopped.");
                out->append(reinterpret_cast<const char*>(piece.data()), piece.size());
                for (uint8_t b : piece) lines += b == '\n';
                const uint64_t now = DriverClockMs();
                if (now - lastShown >= 250) {
                    lastShown = now;
                    report.Progress(0, 0, listing + " " + Format(host_.Translate("%d entries so far"), {lines}));
                }
            });
            // A listing tool that could not read its source prints why and exits non-zero;
            // showing that as "0 files found" would tell the user the files are gone.
            if (!end.Stopped && !st_.StopRequested()) {
                const std::string failure = TTSKRunner::FailureMessage(end);
                if (end.ExitCode != 0) {
                    SafeLog(host_, "Engine: " + failure);
                    const std::string why = EngineListingError(st_, fsName, failure);
                    if (!volume) throw std::runtime_error(why);
                    // A deep scan still has the volume's bytes: what cannot be listed by
                    // name is searched for by content, everywhere.
                    *unlisted = why;
                    out->clear();
                    SafeLog(host_, why);
                    TFreeSpaceSearch all;
                    all.Types = types;
                    *content = SearchFreeSpace(*volume, report, std::move(all));
                    return;
                }
                if (!failure.empty()) SafeLog(host_, "Engine: " + failure);
            }
            *out = DecodeToolOutput(*out);
            if (!volume) return;
            // The listing is parsed here so the content finds can be checked against the
            // files it keeps (the worker owns the results until it ends).
            SafeLog(host_, "fls completed.");
            ParseFlsOutput(st_, host_, *out, st_.FLastWhereMode, opts.Masks, opts.Cleanup);
            out->clear();
            *parsed = true;
            *content = SearchEngineFreeSpace(*volume, types);
        },
        [this, out, opts, content, unlisted, parsed] {
            if (unlisted->empty() && !*parsed) {
                Log(host_, "fls completed.");
                ParseFlsOutput(st_, host_, *out, st_.FLastWhereMode, opts.Masks, opts.Cleanup);
            }
            out->clear();
            st_.FFound.insert(st_.FFound.end(), std::make_move_iterator(content->begin()),
                              std::make_move_iterator(content->end()));
            content->clear();
            Complete();
            if (!unlisted->empty()) SayContentOnly(*unlisted);
        });
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

void TScanDriver::NameUnreadableAreas() {
    const std::string warning = st_.FUnreadable ? UnreadableWarningText(*st_.FUnreadable, [this](const std::string& t) {
        return host_.Translate(t);
    })
                                                : std::string();
    if (warning.empty()) return;
    Log(host_, warning);
    SetStatusText(host_, warning);
}

TToolCommand TScanDriver::EngineBase() const {
    TToolCommand base;
    base.AddWords(st_.FLastFsSwitch);
    for (const auto& a : EngineVolumeArgs(*chosen_.Volumes, chosen_.Volume)) base.Add(a);
    return base;
}

TFoundFiles TScanDriver::SearchEngineFreeSpace(TByteSource& volume, std::vector<std::string> types) {
    if (st_.StopRequested()) return {};
    TDriverReport report(host_, st_, startMs_);
    TFreeSpaceSearch search;
    search.Types = std::move(types);
    uint64_t unit = 0;
    try {
        // The engine's unit size, then its list of the unallocated units, read as it streams.
        const TToolCommand base = EngineBase();
        TToolCommand fsstat = base;
        fsstat.Program = RequireTool(engine_, host_, "fsstat");
        fsstat.AddPath(st_.FLastSrcForFls);
        Log(host_, "> " + fsstat.Display());
        const std::string fsstatText = engine_.FRunner.RunCaptureText(fsstat.Program, fsstat.Args);
        unit = FsstatUnitBytes(fsstatText);
        TToolCommand blkls = base;
        blkls.Program = RequireTool(engine_, host_, "blkls");
        blkls.Add("-l").AddPath(st_.FLastSrcForFls);
        if (unit == 0) throw std::runtime_error("the engine named no block size");
        Log(host_, "> " + blkls.Display());
        report.Progress(0, 0, host_.Translate("Reading the free space map with the engine tools..."));
        TBlklsFreeList list;
        const TChildEnd end = engine_.FRunner.RunStreaming(blkls.Program, blkls.Args,
                                                           [&](std::span<const uint8_t> piece) { list.Feed(piece); });
        list.Finish();
        // What ext4 reserved but never wrote since the format holds what was there before.
        const auto uninit = FsstatUninitBlockRanges(fsstatText);
        for (const auto& [first, last] : uninit) list.AddRun(first, last - first + 1);
        if (!uninit.empty()) Log(host_, Format("Free space: %d block ranges never written since the format", {uninit.size()}));
        AddUnwrittenJournal(volume, base, fsstatText, unit, list);
        if (end.Stopped || st_.StopRequested()) return {};
        if (const std::string failure = TTSKRunner::FailureMessage(end); end.ExitCode != 0)
            throw std::runtime_error(failure);
        search.Areas = list.Areas(unit, volume.Size());
        search.AreasKnown = true;
        Log(host_, Format("Free space: %d blocks of %d bytes", {list.Blocks(), unit}));
    } catch (const std::exception& e) {
        // Without the map the whole volume is searched: slower, and it finds the same.
        Log(host_, std::string("The free space map could not be read (") + e.what() + "); searching the whole volume.");
    }
    TFoundFiles found = SearchFreeSpace(volume, report, std::move(search));
    if (!found.empty() && unit != 0) DropListedStarts(found, unit);
    return found;
}

void TScanDriver::DropListedStarts(TFoundFiles& found, uint64_t unit) {
    // A deleted file the engine lists with its blocks (an inode an unzeroed inode table
    // kept) lies in the free space too: its content find is the same file a second time.
    // Only listed files that stay in the results count, so a file hidden by the masks or
    // the cleanup filter still comes back by its content. Each address costs a run of
    // istat, so a listing of very many is not checked.
    constexpr size_t kMaxChecked = 2000;
    std::vector<std::string> addresses;
    for (const TFoundFile& f : st_.FFound)
        if (f.IsDeleted && !f.IsDir && f.SizeBytes > 0 && !f.Inode.empty()) addresses.push_back(f.Inode);
    if (addresses.size() > kMaxChecked) {
        Log(host_, Format("Content search: over %d deleted files listed; finds are not checked against them.", {kMaxChecked}));
        return;
    }
    std::vector<uint64_t> starts;
    try {
        TToolCommand istat = EngineBase();
        istat.Program = RequireTool(engine_, host_, "istat");
        istat.AddPath(st_.FLastSrcForFls);
        for (const std::string& address : addresses) {
            if (st_.StopRequested()) return;
            TToolCommand one = istat;
            one.Add(address);
            const std::vector<uint64_t> first = IstatDirectBlocks(engine_.FRunner.RunCaptureText(one.Program, one.Args), 1);
            if (!first.empty() && first[0] != 0 && first[0] <= UINT64_MAX / unit) starts.push_back(first[0] * unit);
        }
    } catch (const std::exception& e) {
        Log(host_, std::string("The listed files' blocks could not be read (") + e.what() + ").");
        return;
    }
    const size_t before = found.size();
    DropKnownStarts(found, std::move(starts));
    if (before != found.size())
        Log(host_, Format("Content search: %d finds left out, already listed by the file system", {before - found.size()}));
}

void TScanDriver::AddUnwrittenJournal(TByteSource& volume, const TToolCommand& base, const std::string& fsstatText,
                                      uint64_t unit, TBlklsFreeList& list) {
    const uint64_t inode = FsstatJournalInode(fsstatText);
    if (inode == 0 || st_.StopRequested()) return;
    try {
        TToolCommand istat = base;
        istat.Program = RequireTool(engine_, host_, "istat");
        istat.AddPath(st_.FLastSrcForFls).Add(std::to_string(inode));
        Log(host_, "> " + istat.Display());
        // A journal is at most a few GiB: 2^22 blocks bound the list at any block size.
        const std::vector<uint64_t> blocks = IstatDirectBlocks(engine_.FRunner.RunCaptureText(istat.Program, istat.Args), 1u << 22);
        const std::vector<uint64_t> unwritten =
            JournalUnwrittenBlocks(blocks.size(), [&](uint64_t i, uint8_t* buf, size_t n) {
                return blocks[i] <= UINT64_MAX / unit && volume.ReadExact(blocks[i] * unit, buf, n);
            });
        for (uint64_t i : unwritten) list.AddRun(blocks[i], 1);
        if (!unwritten.empty())
            Log(host_, Format("Free space: %d journal blocks never written since the format", {unwritten.size()}));
    } catch (const std::exception& e) {
        Log(host_, std::string("The journal could not be read (") + e.what() + "); its blocks are not searched.");
    }
}

void TScanDriver::SayContentOnly(const std::string& why) {
    st_.FLastFsUnreadable = why;
    if (st_.StopRequested()) return;
    SetStatusText(host_, Format(host_.Translate("The file system could not be read (%s); the whole volume was searched "
                                                "for files by their content. Found: %d."),
                                {why.substr(0, why.find('\n')), st_.FFound.size()}));
}

void TScanDriver::Complete() {
    host_.PopulateResults();
    if (st_.StopRequested())
        SetStatusText(host_, Format(host_.Translate("Scan stopped. Found entries: %d"), {st_.FFound.size()}));
}

void TScanDriver::tbStopClick() {
    st_.FStopRequested = true;
    engine_.FRunner.Stop();
    Log(host_, "Stop requested.");
    SetStatusText(host_, host_.Translate("Stop requested..."));
}

TScanRoutes TScanRoutes::Default() {
    TScanRoutes r;
    for (const TFsReader& reader : FsReaderTable()) r.Direct.emplace(reader.Route, reader.Scan);
    r.Scope = [](TScanState& st, TScanHost& host, TScanWhere mode, const std::string& path) {
        ApplyScopeFilter(st, host, mode, path);
    };
    return r;
}

uint64_t DriverClockMs() {
    return static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch()).count());
}

std::string ElapsedText(uint64_t ms) {
    const uint64_t s = ms / 1000;
    char buf[32];
    if (s >= 3600)
        std::snprintf(buf, sizeof buf, "%llu:%02llu:%02llu", static_cast<unsigned long long>(s / 3600),
                      static_cast<unsigned long long>(s / 60 % 60), static_cast<unsigned long long>(s % 60));
    else
        std::snprintf(buf, sizeof buf, "%llu:%02llu", static_cast<unsigned long long>(s / 60),
                      static_cast<unsigned long long>(s % 60));
    return buf;
}

} // namespace brivo
