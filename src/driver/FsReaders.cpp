#include "driver/FsReaders.h"

#include <vector>

#include "exfat/ExFatExtractor.h"
#include "exfat/ExFatFreeSpace.h"
#include "exfat/ExFatVolume.h"
#include "exfat/ExFatScan.h"
#include "fat32/Fat32Scan.h"
#include "fat32/FatExtractor.h"
#include "fat32/FatResultSpans.h"
#include "ntfs/NtfsExtract.h"
#include "ntfs/NtfsScan.h"
#include "ntfs/NtfsSweep.h"

namespace brivo {

namespace {

std::unique_ptr<TExtractor> NtfsExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                          std::shared_ptr<const TClusterPlanMap>) {
    return MakeNtfsExtractor(std::move(volume), std::move(fallback));
}

std::unique_ptr<TExtractor> FatExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                         std::shared_ptr<const TClusterPlanMap> plans) {
    std::shared_ptr<TFatClusterPlans> fat;
    if (plans) {
        fat = std::make_shared<TFatClusterPlans>();
        for (const auto& [address, clusters] : *plans) (*fat)[address].Clusters = clusters;
    }
    return MakeFatExtractor(std::move(volume), std::move(fallback), std::move(fat));
}

std::unique_ptr<TExtractor> ExFatExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                           std::shared_ptr<const TClusterPlanMap>) {
    return MakeExFatExtractor(std::move(volume), std::move(fallback));
}

TResultSpans FatSpans(TByteSource& volume, std::shared_ptr<const TClusterPlanMap> plans) {
    return MakeFatResultSpans(volume, std::move(plans));
}

TReaderResult ExFatScan(TByteSource& src, TReaderReport& report, const TReaderOptions& opts) {
    TReaderResult r = FastScanExFatDirect(src, report, opts);
    if (opts.Deep && !report.StopRequested()) {
        // The volume is opened again for its bitmap: a few reads beside the scan's own.
        TExFatVolume vol(src);
        if (vol.HasBitmap()) {
            r.FreeAreas = ExFatFreeAreas(vol);
            r.FreeAreasKnown = true;
        }
        r.KnownStarts = ExFatKnownStarts(vol, r.Found);
    }
    return r;
}

TReaderResult NtfsScan(TByteSource& src, TReaderReport& report, const TReaderOptions& opts) {
    return FastScanNtfsDirect(src, report, opts);
}

TReaderResult FatScan(TByteSource& src, TReaderReport& report, const TReaderOptions& opts) {
    return FastScanFat32Direct(src, report, opts);
}

const std::vector<TFsReader>& Table() {
    static const std::vector<TFsReader> rows = {
        {TFsKind::Ntfs, TScanRoute::Ntfs, "ntfs", "NTFS", NtfsScan, NtfsExtractor},
        {TFsKind::Fat32, TScanRoute::Fat32, "fat32", "FAT32", FatScan, FatExtractor, FatSpans},
        {TFsKind::Fat16, TScanRoute::Fat32, "fat32", "FAT32", FatScan, FatExtractor, FatSpans},
        {TFsKind::Fat12, TScanRoute::Fat32, "fat32", "FAT32", FatScan, FatExtractor, FatSpans},
        {TFsKind::ExFat, TScanRoute::ExFat, "exfat", "exFAT", ExFatScan, ExFatExtractor},
    };
    return rows;
}

} // namespace

TReaderResult ScanLostNtfsRecords(TByteSource& volume, TReaderReport& report, const TReaderOptions& opts) {
    TReaderResult r;
    if (opts.FreeSpaceReadAfter) {
        r.Watcher = MakeNtfsLostRecordWatcher(volume, opts.Masks, opts.Cleanup, report);
        return r;
    }
    TNtfsSweepResult s = SweepNtfsWithoutBootSector(volume, opts.Masks, opts.Cleanup, report);
    r.Found = std::move(s.Found);
    r.HiddenByMasks = s.HiddenByMasks;
    r.HiddenByCleanup = s.HiddenByCleanup;
    r.KnownStarts = std::move(s.KnownStarts);
    return r;
}

std::unique_ptr<TExtractor> MakeLostNtfsRecordExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback) {
    return MakeNtfsExtractor(std::move(volume), std::move(fallback), true);
}

const TFsReader* FindFsReader(TFsKind kind) {
    for (const TFsReader& r : Table())
        if (r.Kind == kind) return &r;
    return nullptr;
}

std::span<const TFsReader> FsReaderTable() { return Table(); }

std::string RouteName(TScanRoute route) {
    for (const TFsReader& r : Table())
        if (r.Route == route) return r.RouteName;
    return route == TScanRoute::Content ? "content" : "fls";
}

std::string DirectFileSystemNames() {
    std::vector<std::string> names;
    for (const TFsReader& r : Table()) names.push_back(FsKindName(r.Kind));
    std::string s;
    for (size_t i = 0; i < names.size(); ++i)
        s += (i == 0 ? "" : i + 1 == names.size() ? " and " : ", ") + names[i];
    return s;
}

} // namespace brivo
