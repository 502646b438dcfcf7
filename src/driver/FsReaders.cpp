#include "driver/FsReaders.h"

#include <algorithm>
#include <charconv>
#include <climits>
#include <optional>
#include <vector>

#include "exfat/ExFatExtractor.h"
#include "exfat/ExFatFreeSpace.h"
#include "exfat/ExFatVolume.h"
#include "exfat/ExFatScan.h"
#include "ext/ExtExtractor.h"
#include "ext/ExtScan.h"
#include "fat32/Fat32Scan.h"
#include "fat32/FatExtractor.h"
#include "fat32/FatResultSpans.h"
#include "ntfs/NtfsExtract.h"
#include "ntfs/NtfsScan.h"
#include "ntfs/NtfsSweep.h"
#include "ntfs/NtfsVolume.h"

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

std::unique_ptr<TExtractor> ExtExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                         std::shared_ptr<const TClusterPlanMap>) {
    return MakeExtExtractor(std::move(volume), std::move(fallback));
}

TResultSpans FatSpans(TByteSource& volume, std::shared_ptr<const TClusterPlanMap> plans) {
    return MakeFatResultSpans(volume, std::move(plans));
}

// The leading number of a metadata address ("12", "12-128-1", "12:stream"), or false.
bool LeadingNumber(const std::string& inode, uint64_t& n) {
    const auto r = std::from_chars(inode.data(), inode.data() + inode.size(), n);
    return r.ec == std::errc() && r.ptr != inode.data();
}

TResultRecords NtfsRecords(TByteSource& volume) {
    auto vol = std::make_shared<std::optional<TNtfsVolume>>();
    try {
        TNtfsVolume v;
        LoadNtfsVolume(volume, v);
        if (v.Geo.RecordSize > 0) *vol = std::move(v);
    } catch (const std::exception&) {
    }
    return [vol, &volume](const TFoundFile& f) {
        std::vector<uint8_t> bytes;
        if (!vol->has_value()) return bytes;
        const TNtfsVolume& v = **vol;
        if (const auto swept = ParseSweptAddress(f.Inode)) {
            const int64_t size = swept->RecordSize > 0 ? swept->RecordSize : v.Geo.RecordSize;
            if (swept->Pos > static_cast<uint64_t>(INT64_MAX) || !ReadSourceBytes(volume, static_cast<int64_t>(swept->Pos), size, bytes))
                bytes.clear();
            return bytes;
        }
        uint64_t n = 0;
        int64_t at = 0;
        if (!LeadingNumber(f.Inode, n) || n > static_cast<uint64_t>(INT64_MAX) ||
            !MulInt64(static_cast<int64_t>(n), v.Geo.RecordSize, at) || !ReadMftBytes(v, at, v.Geo.RecordSize, bytes))
            bytes.clear();
        return bytes;
    };
}

TResultRecords FatRecords(TByteSource& volume) {
    TFatSpansOf spans = MakeFatResultSpans(volume, nullptr);
    return [spans, &volume](const TFoundFile& f) {
        std::vector<uint8_t> bytes;
        const std::vector<TByteExtent> where = spans(f);
        // The first span is the result's directory entry; an address at a long-name entry
        // takes the entries up to its short one (at most 20 long-name entries before it).
        if (where.empty() || where[0].Length != 32) return bytes;
        uint8_t entry[32];
        for (uint64_t at = where[0].Offset, n = 0; n < 21; at += 32, ++n) {
            if (!volume.ReadExact(at, entry, sizeof entry)) return std::vector<uint8_t>();
            bytes.insert(bytes.end(), entry, entry + sizeof entry);
            if (entry[11] != 0x0F) break;
        }
        return bytes;
    };
}

TResultRecords ExFatRecords(TByteSource& volume) {
    auto vol = std::make_shared<std::unique_ptr<TExFatVolume>>();
    try {
        *vol = std::make_unique<TExFatVolume>(volume);
    } catch (const std::exception&) {
    }
    return [vol, &volume](const TFoundFile& f) {
        std::vector<uint8_t> bytes;
        uint64_t address = 0;
        if (!*vol || !LeadingNumber(f.Inode, address) || address < 3 || address - 3 > (uint64_t{1} << 40)) return bytes;
        const uint64_t at = (*vol)->EntryOffsetOf(address);
        // The entry set: its primary entry says how many secondary entries follow (at most 18).
        uint8_t primary[32];
        if (!volume.ReadExact(at, primary, sizeof primary)) return bytes;
        bytes.resize(size_t{32} * (1 + std::min<size_t>(primary[1], 18)));
        if (!volume.ReadExact(at, bytes.data(), bytes.size())) bytes.clear();
        return bytes;
    };
}

TResultRecords ExtRecords(TByteSource& volume) {
    auto vol = std::make_shared<std::unique_ptr<TExtVolume>>();
    try {
        *vol = std::make_unique<TExtVolume>(volume);
    } catch (const std::exception&) {
    }
    return [vol](const TFoundFile& f) {
        // The inode a result is read by (its map or, for a name whose content is gone,
        // what a copy by its address reads); results carrying their extents are checked
        // by those bytes instead.
        std::vector<uint8_t> bytes;
        uint64_t n = 0;
        if (!*vol || !LeadingNumber(f.Inode, n) || n == 0 || n > (*vol)->Super().InodesCount ||
            !(*vol)->ReadRawInode(static_cast<uint32_t>(n), bytes))
            bytes.clear();
        return bytes;
    };
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
        {TFsKind::Ntfs, TScanRoute::Ntfs, "ntfs", "NTFS", NtfsScan, NtfsExtractor, {}, NtfsRecords},
        {TFsKind::Fat32, TScanRoute::Fat32, "fat32", "FAT32", FatScan, FatExtractor, FatSpans, FatRecords},
        {TFsKind::Fat16, TScanRoute::Fat32, "fat32", "FAT32", FatScan, FatExtractor, FatSpans, FatRecords},
        {TFsKind::Fat12, TScanRoute::Fat32, "fat32", "FAT32", FatScan, FatExtractor, FatSpans, FatRecords},
        {TFsKind::ExFat, TScanRoute::ExFat, "exfat", "exFAT", ExFatScan, ExFatExtractor, {}, ExFatRecords},
        {TFsKind::Ext4, TScanRoute::Ext, "ext", "ext", FastScanExtDirect, ExtExtractor, {}, ExtRecords},
        {TFsKind::Ext3, TScanRoute::Ext, "ext", "ext", FastScanExtDirect, ExtExtractor, {}, ExtRecords},
        {TFsKind::Ext2, TScanRoute::Ext, "ext", "ext", FastScanExtDirect, ExtExtractor, {}, ExtRecords},
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
