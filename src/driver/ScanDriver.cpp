#include "driver/ScanDriver.h"

#include "core/Text.h"

#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>

#include "core/FsDetect.h"
#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "engine/CommandLine.h"
#include "filters/Masks.h"
#include "core/SourceSelection.h"
#include "tskparse/FlsOutputParser.h"
#include "tskparse/PathInode.h"
#include "engine/IcatExtractor.h"
#include "engine/ToolOutputDecode.h"
#include "fat32/FatExtractor.h"
#include "ntfs/NtfsExtract.h"
#include "volumes/VolumeList.h"

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
                                ": it is not a disk image, or it holds a file system the program cannot read."
                          : "The engine tools could not list the files of the " + fsName + " file system on " + where + ".";
    if (!toolText.empty()) msg += "\nEngine: " + toolText;
    return msg;
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
    StartScan(source, choice);
}

void TScanDriver::ScanSource(const TScanSource& source, const TScanChoice& choice) {
    if (!BeginCommand()) return;
    StartScan(source, choice);
}

void TScanDriver::StartScan(const TScanSource& source, const TScanChoice& choice) {
    TMaskList masks = ParseMasks(CurrentMaskText(choice));

    // The source as a disk: its container, partition table and the volume to scan. All of
    // it reads only a few sectors, so it runs here and a bad source is refused before any
    // worker starts.
    TSourceVolumes vols;
    const TVolume* vol = nullptr;
    try {
        vols = ListVolumes(source.Src);
        vol = &ChooseVolume(vols, choice.Volume);
        volume_ = OpenVolumeSource(vols, *vol);
    } catch (const std::exception& e) {
        ReportError(e.what());
        return;
    }

    st_.FLastSrcForFls = source.Src;
    st_.FLastWhereMode = source.Where;
    st_.FLastPathFilterNorm = source.PathFilter;
    st_.FLastMasks = masks;
    const bool partitioned = VolumeIsSlice(vols, *vol);
    st_.FLastVolume = partitioned ? vol->Index : 0;
    st_.FLastSectorOffset = partitioned ? vol->StartSector * (vols.SectorSize / 512) : 0;
    st_.FLastImageType = vols.Container == TContainerKind::Raw ? std::string() : EngineImageType(vols.Container);
    const TFsKind kind = vol->Fs.Kind;
    const std::string fsName = vol->Fs.Name;
    st_.FLastFsSwitch = FsSwitchForKind(kind);
    st_.FStopRequested = false;
    st_.FLastProgressTick = 0;
    st_.FLastHiddenByMasks = 0;
    st_.FLastHiddenByCleanup = 0;
    st_.FLastDeepMayFindMore = false;
    fatPlans_.reset();
    // Recovery and preview read the same volume: the direct reader's own extraction over
    // a fresh copy of the volume (byte sources serve one thread), with icat at the same
    // offset for what it leaves; icat alone on the engine's route. The factory outlives
    // this driver (the command line recovers after the scan), so it holds only what the
    // front end owns.
    {
        TIcatSource icat;
        icat.Source = source.Src;
        icat.FsSwitch = st_.FLastFsSwitch;
        icat.ImageType = st_.FLastImageType;
        icat.SectorOffset = st_.FLastSectorOffset;
        TEngineContext& engine = engine_;
        TScanHost& host = host_;
        if (kind == TFsKind::Ntfs) {
            st_.FMakeExtractor = [&engine, &host, icat, path = source.Src, index = vol->Index]() {
                return MakeNtfsExtractor(OpenVolume(path, index), MakeIcatExtractor(engine, host, icat));
            };
        } else if (kind == TFsKind::Fat12 || kind == TFsKind::Fat16 || kind == TFsKind::Fat32) {
            // The reader's cluster plans arrive with its result; the factory reads them then.
            fatPlans_ = std::make_shared<std::shared_ptr<const TFatClusterPlans>>();
            const bool engineReads = vols.Container != TContainerKind::Qcow;
            st_.FMakeExtractor = [&engine, &host, icat, engineReads, path = source.Src, index = vol->Index,
                                  plans = fatPlans_]() {
                return MakeFatExtractor(OpenVolume(path, index),
                                        engineReads ? MakeIcatExtractor(engine, host, icat) : nullptr, *plans);
            };
        } else if (vols.Container == TContainerKind::Qcow) {
            // Nothing but a direct extraction reads inside this container.
            st_.FMakeExtractor = {};
        } else {
            st_.FMakeExtractor = [&engine, &host, icat]() { return MakeIcatExtractor(engine, host, icat); };
        }
    }
    startMs_ = DriverClockMs();

    SetBusy(host_, true);
    busy_ = true;
    SetStatusText(host_, host_.Translate("Fast scan... detecting file system..."));
    UpdateProgress(host_, 0, 1000, host_.Translate("Fast scan starting..."));
    host_.ClearMemo();
    TruncateDebugLog(host_.DebugLogPath());
    Log(host_, "Fast scan...");
    Log(host_, "Debug log file: " + host_.DebugLogPath());
    Log(host_, "Where: " + choice.WhereText + " | What: " + choice.WhatText);
    if (vols.Container != TContainerKind::Raw || partitioned)
        Log(host_, Format("Source: %s image, %s partition table; volume %d: %s",
                          {vols.ContainerFormat, PartitionSchemeName(vols.Scheme), vol->Index,
                           DescribeVolume(*vol, vols.SectorSize)}));

    TReaderOptions opts;
    opts.Masks = choice.ShowHidden ? TMaskList{"*"} : masks;
    // The Recycle Bin's $I/$R names are what the cleanup filter drops as system files.
    opts.Cleanup = !choice.ShowHidden && source.Where != TScanWhere::swRecycleBin;
    opts.Deep = choice.Deep;

    switch (kind) {
    case TFsKind::Fat12:
    case TFsKind::Fat16:
    case TFsKind::Fat32: {
        route_ = TScanRoute::Fat32;
        StartWorker([this, opts] { RunDirect(routes_.Fat32, opts, "FAT32"); },
                    [this, kind] {
                        const std::string width = FsKindName(kind);
                        UpdateProgress(host_, 0, 0,
                                       Format(FatWidthText(width, host_.Translate("Preparing FAT32 results... Found %d files.")),
                                              {st_.FFound.size()}));
                        Complete();
                        if (!st_.StopRequested())
                            UpdateProgress(host_, 1000, 1000,
                                           Format(FatWidthText(width, host_.Translate("FAT32 scan finished. Found %d files.")),
                                                  {st_.FFound.size()}));
                    });
        return;
    }
    case TFsKind::Ntfs: {
        route_ = TScanRoute::Ntfs;
        StartWorker([this, opts] { RunDirect(routes_.Ntfs, opts, "NTFS"); }, [this] { Complete(); });
        return;
    }
    default: break;  // the engine reads every other kind
    }

    route_ = TScanRoute::Fls;
    volume_.reset();
    std::string startInode;
    TToolCommand cmd;
    try {
        // A container the engine cannot open ends here, with what to do instead.
        const std::vector<std::string> volumeArgs = EngineVolumeArgs(vols, *vol);
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
    StartWorker(
        [this, cmd, out, fsName] {
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
                if (end.ExitCode != 0) throw std::runtime_error(EngineListingError(st_, fsName, failure));
                if (!failure.empty()) SafeLog(host_, "Engine: " + failure);
            }
            *out = DecodeToolOutput(*out);
        },
        [this, out, opts] {
            Log(host_, "fls completed.");
            ParseFlsOutput(st_, host_, *out, st_.FLastWhereMode, opts.Masks, opts.Cleanup);
            out->clear();
            Complete();
        });
}

void TScanDriver::RunDirect(const TScanRoutes::DirectScan& reader, const TReaderOptions& opts, const char* fsName) {
    TDriverReport report(host_, st_, startMs_);
    TReaderResult r = reader(*volume_, report, opts);
    volume_.reset();
    st_.FFound = std::move(r.Found);
    st_.FLastHiddenByMasks = r.HiddenByMasks;
    st_.FLastHiddenByCleanup = r.HiddenByCleanup;
    st_.FLastDeepMayFindMore = r.DeepMayFindMore;
    if (fatPlans_ && r.ClusterPlans) {
        auto plans = std::make_shared<TFatClusterPlans>();
        for (const auto& [address, clusters] : *r.ClusterPlans) (*plans)[address].Clusters = clusters;
        *fatPlans_ = std::move(plans);
    }
    routes_.Scope(st_, host_, engine_, st_.FLastWhereMode, st_.FLastPathFilterNorm);
    Log(host_, Format("Fast %s records after scope filtering: %d", {fsName, st_.FFound.size()}));
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
