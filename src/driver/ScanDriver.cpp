#include "driver/ScanDriver.h"

#include "core/AsciiText.h"

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

namespace brivo {

namespace {

std::string TrimBlanks(const std::string& s) { return std::string(TrimView(s)); }

// The words fls printed about why it failed, without the body lines it managed to list
// first: a listing line has ten "|" separators, an error message practically never.
std::string ToolFailureText(const TRunTextResult& r) {
    std::string msg;
    size_t start = 0;
    size_t kept = 0;
    while (start < r.Text.size() && kept < 20) {
        size_t end = r.Text.find('\n', start);
        if (end == std::string::npos) end = r.Text.size();
        std::string line = TrimBlanks(r.Text.substr(start, end - start));
        size_t bars = 0;
        for (char c : line) bars += c == '|';
        if (!line.empty() && bars < 10) {
            if (!msg.empty()) msg += "\n";
            msg += line;
            ++kept;
        }
        start = end + 1;
    }
    if (msg.empty()) msg = Format("Process failed, exit code %d", {r.ExitCode});
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

    st_.FLastSrcForFls = source.Src;
    st_.FLastWhereMode = source.Where;
    st_.FLastPathFilterNorm = source.PathFilter;
    st_.FLastMasks = masks;

    TFsKind kind = TFsKind::NotRecognised;
    try {
        kind = DetectFileSystem(source.Src);
    } catch (const std::exception& e) {
        host_.ShowError(e.what());
        return;
    }
    st_.FLastFsSwitch = FsSwitchForKind(kind);
    st_.FStopRequested = false;
    st_.FLastProgressTick = 0;

    SetBusy(host_, true);
    busy_ = true;
    SetStatusText(host_, host_.Translate("Fast scan... detecting file system..."));
    UpdateProgress(host_, 0, 1000, host_.Translate("Fast scan starting..."));
    host_.ClearMemo();
    TruncateDebugLog(host_.DebugLogPath());
    Log(host_, "Fast scan...");
    Log(host_, "Debug log file: " + host_.DebugLogPath());
    Log(host_, "Where: " + choice.WhereText + " | What: " + choice.WhatText);

    switch (kind) {
    case TFsKind::Fat32: {
        route_ = TScanRoute::Fat32;
        StartWorker(
            [this] {
                routes_.Fat32(st_, host_, st_.FLastSrcForFls, st_.FLastMasks);
                routes_.Scope(st_, host_, engine_, st_.FLastWhereMode, st_.FLastPathFilterNorm);
                Log(host_, Format("Fast FAT32 records after scope filtering: %d", {st_.FFound.size()}));
            },
            [this] {
                UpdateProgress(host_, 0, 0,
                               Format(host_.Translate("Preparing FAT32 results... Found %d files."), {st_.FFound.size()}));
                host_.PopulateResults();
                UpdateProgress(host_, 1000, 1000,
                               Format(host_.Translate("FAT32 scan finished. Found %d files."), {st_.FFound.size()}));
            });
        return;
    }
    case TFsKind::Ntfs: {
        route_ = TScanRoute::Ntfs;
        StartWorker(
            [this] {
                routes_.Ntfs(st_, host_, st_.FLastSrcForFls, st_.FLastMasks);
                routes_.Scope(st_, host_, engine_, st_.FLastWhereMode, st_.FLastPathFilterNorm);
                Log(host_, Format("Fast NTFS records after scope filtering: %d", {st_.FFound.size()}));
            },
            [this] { host_.PopulateResults(); });
        return;
    }
    default: break;  // the engine reads every other kind
    }

    route_ = TScanRoute::Fls;
    std::string startInode;
    TToolCommand cmd;
    try {
        if (source.Where == TScanWhere::swFolder || source.Where == TScanWhere::swRecycleBin) {
            startInode = ResolvePathInode(st_, engine_, host_, source.Src, source.PathFilter);
            Log(host_, Format("Resolved start directory inode: %s (path %s)", {startInode, source.PathFilter}));
        }
        cmd.Program = RequireTool(engine_, host_, "fls");
        cmd.AddWords(st_.FLastFsSwitch).Add("-r").Add("-p").Add("-m").Add("/").Add("-d").AddPath(source.Src);
        const std::string start = TrimBlanks(startInode);
        if (!start.empty()) cmd.Add(start);
    } catch (const std::exception& e) {
        Fail(e.what());
        return;
    }
    Log(host_, "Fallback to fls for non-NTFS scan path.");
    Log(host_, "> " + cmd.Display());

    auto out = std::make_shared<TRunTextResult>();
    StartWorker(
        [this, cmd, out] {
            *out = engine_.FRunner.RunCaptureTextEx(cmd.Program, cmd.Args);
            // A listing tool that could not read its source prints why and exits non-zero;
            // showing that as "0 files found" would tell the user the files are gone.
            if (out->ExitCode != 0 && !out->Stopped && !st_.StopRequested())
                throw std::runtime_error(ToolFailureText(*out));
        },
        [this, out] {
            Log(host_, "fls completed.");
            ParseFlsOutput(st_, host_, out->Text, st_.FLastWhereMode, st_.FLastMasks);
            out->Text.clear();
            host_.PopulateResults();
        });
}

void TScanDriver::tbStopClick() {
    st_.FStopRequested = true;
    engine_.FRunner.Stop();
    Log(host_, "Stop requested.");
    SetStatusText(host_, host_.Translate("Stop requested..."));
}

} // namespace brivo
