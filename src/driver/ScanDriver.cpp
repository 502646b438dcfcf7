#include "driver/ScanDriver.h"

#include <chrono>
#include <cstdio>
#include <stdexcept>

#include "core/ResilientSource.h"
#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "driver/UnreadableResults.h"
#include "filters/ScopeFilter.h"

namespace brivo {

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

void TScanDriver::NameUnreadableAreas() {
    const std::string warning = st_.FUnreadable ? UnreadableWarningText(*st_.FUnreadable, [this](const std::string& t) {
        return host_.Translate(t);
    })
                                                : std::string();
    if (warning.empty()) return;
    Log(host_, warning);
    SetStatusText(host_, warning);
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
