// Saving the last scan and opening a saved one in place of scanning.
#include <filesystem>
#include <stdexcept>

#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "driver/ScanDriver.h"

namespace brivo {

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

} // namespace brivo
