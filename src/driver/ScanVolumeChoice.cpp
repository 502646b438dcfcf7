// The first steps of a scan: the volume it reads, the state it records, the log's start.
#include <algorithm>

#include "core/ScanLog.h"
#include "core/TextFormat.h"
#include "driver/ScanDriver.h"
#include "driver/ScanDriverParts.h"
#include "filters/Masks.h"
#include "volumes/FsProbe.h"

namespace brivo {

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

} // namespace brivo
