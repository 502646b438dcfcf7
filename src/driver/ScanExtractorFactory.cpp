// How recovery and preview read a scan's results again.
#include <stdexcept>

#include "core/ResilientSource.h"
#include "driver/ScanDriver.h"
#include "driver/ScanDriverParts.h"
#include "engine/IcatExtractor.h"

namespace brivo {

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

} // namespace brivo
