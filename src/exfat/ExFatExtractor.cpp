#include "exfat/ExFatExtractor.h"

#include <algorithm>
#include <charconv>
#include <cstring>
#include <optional>
#include <stdexcept>
#include <vector>

#include "exfat/ExFatEntrySet.h"
#include "exfat/ExFatLayout.h"
#include "exfat/ExFatVolume.h"

namespace brivo {

namespace {

// A set is at most a File entry and 18 secondaries.
constexpr size_t kMaxSetBytes = 19 * kExFatEntrySize;
constexpr size_t kChunkBytes = 1u << 20;

class TExFatExtractor : public TExtractor {
public:
    TExFatExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback)
        : src_(std::move(volume)), fallback_(std::move(fallback)) {}

    void Extract(const TFoundFile& f, TByteSink& sink) override {
        std::string why;
        if (Open(why)) {
            if (CopyDirect(f, sink, why)) return;
        }
        if (fallback_) return fallback_->Extract(f, sink);
        throw std::runtime_error("Cannot copy " + f.FullPath + " directly: " + why);
    }

private:
    bool Open(std::string& why) {
        if (vol_) return true;
        if (!openError_.empty()) {
            why = openError_;
            return false;
        }
        try {
            vol_.emplace(*src_);
            return true;
        } catch (const std::exception& e) {
            openError_ = e.what();
            why = openError_;
            return false;
        }
    }

    // The entry set at a metadata address; the part past its cluster's end is looked for
    // in the next cluster, then in the one the FAT names, and kept only when the set
    // checksum agrees.
    bool FindSet(uint64_t address, TExFatEntrySet& set, bool& deleted, std::string& why) {
        TExFatVolume& vol = *vol_;
        const uint64_t heap = vol.Boot().HeapOffset;
        const uint64_t bpc = vol.BytesPerCluster();
        if (address < 3 || (address - 3) > (vol.Boot().ClusterCount * bpc) / kExFatEntrySize) {
            why = "the address is outside the volume";
            return false;
        }
        const uint64_t offset = vol.EntryOffsetOf(address);
        const uint32_t cluster = static_cast<uint32_t>((offset - heap) / bpc + kExFatFirstCluster);
        const uint64_t inCluster = (offset - heap) % bpc;
        const size_t here = static_cast<size_t>(std::min<uint64_t>(kMaxSetBytes, bpc - inCluster));
        std::vector<uint8_t> bytes(kMaxSetBytes);
        const int64_t got = src_->ReadAt(offset, bytes.data(), here);
        if (got < static_cast<int64_t>(kExFatEntrySize)) {
            why = "the entry cannot be read";
            return false;
        }
        bytes.resize(static_cast<size_t>(got));
        set = DecodeExFatEntrySet(bytes);
        if (set.Status == TExFatSetStatus::Truncated && static_cast<size_t>(got) == here) {
            for (const uint32_t next : {cluster + 1, vol.FatEntry(cluster)}) {
                if (!vol.IsDataCluster(next)) continue;
                std::vector<uint8_t> joined(bytes);
                joined.resize(kMaxSetBytes);
                if (!src_->ReadExact(vol.ClusterOffset(next), joined.data() + here, kMaxSetBytes - here)) continue;
                set = DecodeExFatEntrySet(joined);
                if (set.Ok()) break;
            }
            // Its rest lies in a cluster only the deep sweep knows; the File and Stream
            // Extension entries here are all a copy needs, as the scan read them.
            if (!set.Ok()) set = DecodeExFatCutSet(bytes);
        }
        if (!set.Ok() || set.IsDir()) {
            why = "no file entry set at address " + std::to_string(address);
            return false;
        }
        deleted = !set.InUse || !vol.IsAllocated(cluster);
        return true;
    }

    bool CopyDirect(const TFoundFile& f, TByteSink& sink, std::string& why) {
        uint64_t address = 0;
        const char* end = f.Inode.data() + f.Inode.size();
        if (f.Inode.empty() || std::from_chars(f.Inode.data(), end, address).ptr != end) {
            why = "the address \"" + f.Inode + "\" is not an exFAT entry";
            return false;
        }
        TExFatVolume& vol = *vol_;
        TExFatEntrySet set;
        bool deleted = false;
        if (!FindSet(address, set, deleted, why)) return false;
        // Consecutive clusters are what they are, whoever has them now (the engine reads
        // them the same way); a chain that starts in a cluster in use again is not the
        // file's any more.
        if (deleted && set.DataLength && !set.NoFatChain && vol.IsAllocated(set.FirstCluster)) {
            why = "its first cluster is in use again";
            return false;
        }
        const TExFatLayout layout = ExFatFileLayout(vol, set, deleted);
        if (!layout.Complete) {
            why = "its clusters run past the volume or its chain is broken";
            return false;
        }
        const uint64_t bpc = vol.BytesPerCluster();
        const uint64_t size = set.DataLength;
        const uint64_t valid = std::min(set.ValidDataLength, size);
        std::vector<uint8_t> buf;
        uint64_t pos = 0;
        size_t i = 0;
        while (pos < size) {
            // A run of consecutive clusters, read at once.
            size_t n = 1;
            while (i + n < layout.Clusters.size() && layout.Clusters[i + n] == layout.Clusters[i] + n &&
                   n * bpc < kChunkBytes)
                ++n;
            const uint64_t want = std::min<uint64_t>(n * bpc, size - pos);
            buf.assign(static_cast<size_t>(want), 0);
            if (pos < valid) {
                const uint64_t readLen = std::min<uint64_t>(want, valid - pos);
                if (!src_->ReadExact(vol.ClusterOffset(layout.Clusters[i]), buf.data(), static_cast<size_t>(readLen))) {
                    const std::string err = src_->LastError();
                    throw std::runtime_error("Cannot read " + src_->Name() + " at byte " +
                                             std::to_string(vol.ClusterOffset(layout.Clusters[i])) +
                                             (err.empty() ? "" : ": " + err));
                }
            }
            sink.Write(buf);
            pos += want;
            i += n;
        }
        return true;
    }

    TByteSourcePtr src_;
    std::unique_ptr<TExtractor> fallback_;
    std::optional<TExFatVolume> vol_;
    std::string openError_;
};

} // namespace

std::unique_ptr<TExtractor> MakeExFatExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback) {
    return std::make_unique<TExFatExtractor>(std::move(volume), std::move(fallback));
}

} // namespace brivo
