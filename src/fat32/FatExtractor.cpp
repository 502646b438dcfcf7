#include "fat32/FatExtractor.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <optional>
#include <string>
#include <unordered_set>
#include <stdexcept>
#include <vector>

#include "core/ReaderReport.h"
#include "fat32/Fat32Log.h"
#include "fat32/Fat32Volume.h"
#include "fat32/FatDirEntry.h"

namespace brivo {

namespace {

// Bytes read from the volume per request.
constexpr uint64_t kChunkBytes = 1u << 20;

// Consecutive clusters: first and count. A file is held as runs, so that a large file
// with few gaps costs a few entries, not one per cluster.
struct TClusterRun {
    uint32_t First = 0;
    uint32_t Count = 0;
};

void AddCluster(std::vector<TClusterRun>& runs, uint32_t c) {
    if (!runs.empty() && runs.back().First + runs.back().Count == c && runs.back().Count < UINT32_MAX)
        ++runs.back().Count;
    else
        runs.push_back({c, 1});
}

class TFatExtractor final : public TExtractor {
public:
    TFatExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback, std::shared_ptr<const TFatClusterPlans> plans)
        : source_(std::move(volume)), fallback_(std::move(fallback)), plans_(std::move(plans)) {
        if (!source_) return;
        try {
            TNullReport quiet;
            TFat32Log log(quiet);
            vol_ = OpenFat32Volume(*source_, log);
            if (vol_->BytesPerCluster == 0) vol_.reset();
        } catch (const std::exception&) {
            vol_.reset();  // everything goes to the fallback
        }
    }

    void Extract(const TFoundFile& f, TByteSink& sink) override {
        std::vector<TClusterRun> runs;
        uint64_t size = 0;
        std::string why;
        if (!vol_) {
            why = "it does not hold a FAT volume that can be read";
        } else if (Plan(f, runs, size, why)) {
            Copy(runs, size, sink);
            return;
        }
        if (!fallback_)
            throw std::runtime_error("Cannot copy " + f.FullPath + " from " + source_->Name() + " directly: " + why + ".");
        fallback_->Extract(f, sink);
    }

private:
    // One past the last cluster both the FAT and the boot sector's total put on the volume.
    uint32_t ClusterEnd() const {
        const uint64_t total = vol_->TotalSectors * vol_->BytesPerSector;
        const uint64_t data = total > static_cast<uint64_t>(vol_->DataOffset) ? total - vol_->DataOffset : 0;
        return static_cast<uint32_t>(std::min<uint64_t>(vol_->ClusterLimit, data / vol_->BytesPerCluster + 2));
    }

    // The cluster holding a volume offset, 0 outside the data area (the FAT12/16 root).
    uint32_t ClusterOf(int64_t offset) const {
        if (offset < vol_->DataOffset) return 0;
        return static_cast<uint32_t>((offset - vol_->DataOffset) / vol_->BytesPerCluster + 2);
    }

    // The clusters and byte count to copy. False, with the reason, when this address cannot
    // be copied here: the fallback may still know a way.
    bool Plan(const TFoundFile& f, std::vector<TClusterRun>& runs, uint64_t& size, std::string& why) {
        uint64_t address = 0;
        const auto r = std::from_chars(f.Inode.data(), f.Inode.data() + f.Inode.size(), address);
        if (r.ec != std::errc() || r.ptr != f.Inode.data() + f.Inode.size() || address < 3 ||
            address - 3 > (uint64_t{1} << 40)) {
            why = "\"" + f.Inode + "\" is not the address of a directory entry";
            return false;
        }
        const uint64_t slot = address - 3;
        const int64_t offset = FatAddressBase(*vol_) + static_cast<int64_t>(slot * kDirEntrySize);
        // A slot of the FAT12/16 root lies in its region; any other one in a data cluster.
        if (!vol_->RootCluster && offset < vol_->DataOffset &&
            offset + static_cast<int64_t>(kDirEntrySize) > vol_->RootDirOffset + vol_->RootDirBytes) {
            why = "its directory entry lies outside the directories";
            return false;
        }
        std::vector<uint8_t> e;
        if (!ReadVolumeBytes(*vol_, offset, kDirEntrySize, e)) {
            why = "its directory entry cannot be read";
            return false;
        }
        const uint8_t attr = e[11];
        if (attr == kAttrLongName || (attr & (kAttrDirectory | kAttrVolumeLabel)) || e[0] == kEntryEnd) {
            why = "its directory entry does not describe a file";
            return false;
        }
        size = ReadLe32(e, 28);
        const uint32_t first = EntryStartCluster(e);
        if (size == 0) return true;  // nothing to copy
        const uint32_t end = ClusterEnd();
        if (first < 2 || first >= end) {
            why = "its first cluster " + std::to_string(first) + " lies outside the volume";
            return false;
        }
        const uint64_t bpc = vol_->BytesPerCluster;
        const uint64_t count = (size + bpc - 1) / bpc;
        const uint32_t home = ClusterOf(offset);
        const bool deleted = e[0] == kEntryDeleted || (home != 0 && !IsClusterAllocated(*vol_, home));

        if (!deleted) return PlanChain(first, count, end, runs, size, why);
        if (plans_) {
            if (const auto it = plans_->find(f.Inode); it != plans_->end()) {
                for (uint32_t c : it->second.Clusters) {
                    if (c < 2 || c >= end) {
                        why = "its planned cluster " + std::to_string(c) + " lies outside the volume";
                        return false;
                    }
                    AddCluster(runs, c);
                }
                size = std::min<uint64_t>(size, it->second.Clusters.size() * bpc);
                return true;
            }
        }
        // A first cluster in use again holds another file now (the result is rated
        // Overwritten). The engine copies that one cluster, up to the file's size, and so
        // does this: a user who asked for the file gets what is there, and the same bytes.
        if (IsClusterAllocated(*vol_, first)) {
            AddCluster(runs, first);
            size = std::min<uint64_t>(size, bpc);
            return true;
        }
        // The free clusters from the first one on, passing over those in use. Where they run
        // out at the end of the volume, what they hold is copied and the copy is shorter.
        uint64_t taken = 0;
        for (uint64_t c = first; taken < count && c < end; ++c) {
            if (IsClusterAllocated(*vol_, static_cast<uint32_t>(c))) continue;
            AddCluster(runs, static_cast<uint32_t>(c));
            ++taken;
        }
        size = std::min<uint64_t>(size, taken * bpc);
        return true;
    }

    // A live entry (a file left in a deleted folder) along its FAT chain. A chain that ends
    // early (an end mark or a free entry) or comes back on itself gives what it reached;
    // one that leaves the volume is damaged past copying.
    bool PlanChain(uint32_t first, uint64_t count, uint32_t end, std::vector<TClusterRun>& runs, uint64_t& size,
                   std::string& why) {
        const uint64_t bpc = vol_->BytesPerCluster;
        std::unordered_set<uint32_t> seen;
        uint32_t c = first;
        uint64_t taken = 0;
        while (taken < count) {
            if (c == 0 || c >= kFatFirstMarker) break;
            if (c < 2 || c >= end) {
                why = "its cluster chain leaves the volume at cluster " + std::to_string(c);
                return false;
            }
            if (!seen.insert(c).second) break;
            AddCluster(runs, c);
            ++taken;
            if (taken < count) c = ReadFatEntry(*vol_, c);
        }
        size = std::min<uint64_t>(size, taken * bpc);
        return true;
    }

    // Each run read in large pieces; only size bytes are written.
    void Copy(const std::vector<TClusterRun>& runs, uint64_t size, TByteSink& sink) {
        const uint64_t bpc = vol_->BytesPerCluster;
        const uint64_t perRead = std::max<uint64_t>(1, kChunkBytes / bpc);
        std::vector<uint8_t> buf;
        uint64_t left = size;
        for (const TClusterRun& run : runs) {
            for (uint64_t done = 0; done < run.Count && left > 0;) {
                const uint64_t n = std::min<uint64_t>(perRead, run.Count - done);
                const uint64_t bytes = n * bpc;
                buf.resize(bytes);
                const uint64_t at = static_cast<uint64_t>(ClusterToOffset(*vol_, static_cast<uint32_t>(run.First + done)));
                const int64_t got = source_->ReadAt(at, buf.data(), buf.size());
                const uint64_t need = std::min(left, bytes);
                if (got < 0 || static_cast<uint64_t>(got) < need) {
                    const std::string why = source_->LastError();
                    throw std::runtime_error("Cannot read " + source_->Name() + " at byte " + std::to_string(at) +
                                             (why.empty() ? std::string(".") : ": " + why));
                }
                sink.Write(std::span<const uint8_t>(buf.data(), static_cast<size_t>(need)));
                left -= need;
                done += n;
            }
        }
    }

    TByteSourcePtr source_;
    std::unique_ptr<TExtractor> fallback_;
    std::shared_ptr<const TFatClusterPlans> plans_;
    std::optional<TFat32Volume> vol_;
};

} // namespace

std::unique_ptr<TExtractor> MakeFatExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                             std::shared_ptr<const TFatClusterPlans> plans) {
    return std::make_unique<TFatExtractor>(std::move(volume), std::move(fallback), std::move(plans));
}

} // namespace brivo
