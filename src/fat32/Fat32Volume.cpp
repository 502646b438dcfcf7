#include "fat32/Fat32Volume.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "core/ByteReaders.h"
#include "core/FatBootSector.h"
#include "core/ResilientSource.h"
#include "core/TextFormat.h"

namespace brivo {

namespace {

// Reads are limited so that a hostile geometry can never ask for an absurd buffer.
constexpr int64_t kMaxReadBytes = int64_t{1} << 30;
constexpr uint32_t kFatCacheBytes = 16 * 1024;

uint32_t SectorSize(const TFat32Volume& vol) { return vol.BytesPerSector ? vol.BytesPerSector : 512u; }

// Reads count bytes at offset into dst through whole sectors at sector boundaries.
bool ReadInto(TFat32Volume& vol, int64_t offset, int64_t count, uint8_t* dst, std::vector<uint8_t>& scratch) {
    if (count <= 0) return true;
    if (!vol.Source || offset < 0 || count > kMaxReadBytes) return false;
    const int64_t s = SectorSize(vol);
    const int64_t aligned = offset - offset % s;
    const int64_t lead = offset - aligned;
    const int64_t needed = lead + count;
    const int64_t length = (needed + s - 1) / s * s;
    try {
        if (lead == 0 && length == count) {
            return vol.Source->ReadAt(static_cast<uint64_t>(aligned), dst, static_cast<size_t>(length)) >= needed;
        }
        scratch.resize(static_cast<size_t>(length));
        if (vol.Source->ReadAt(static_cast<uint64_t>(aligned), scratch.data(), scratch.size()) < needed) return false;
        std::memcpy(dst, scratch.data() + lead, static_cast<size_t>(count));
        return true;
    } catch (...) {
        // A failing stream is a failed read, never an error of the scan.
        return false;
    }
}

std::string Hint(int64_t v) { return std::to_string(v); }
const char* BoolText(bool b) { return b ? "True" : "False"; }

} // namespace

std::string FatKindName(const TFat32Volume& vol) { return "FAT" + std::to_string(vol.FatBits); }

int64_t FatAddressBase(const TFat32Volume& vol) { return vol.RootCluster ? vol.DataOffset : vol.RootDirOffset; }

TFat32Volume OpenFat32Volume(TByteSource& source, TFat32Log& log) {
    TFat32Volume vol;
    vol.Source = &source;
    std::vector<uint8_t> boot;
    if (!ReadVolumeBytes(vol, 0, 512, boot))
        throw std::runtime_error(log.Translate("Fast FAT32 scan failed: cannot read boot sector."));
    TFatBootSector bpb;
    std::string why;
    if (!DecodeFatBootSector(ByteSpan(boot), bpb, &why)) {
        log.SafeLog("Fast FAT32 boot sector refused: " + why);
        throw std::runtime_error(log.Translate("Fast FAT32 scan failed: invalid FAT32 geometry."));
    }
    const uint16_t bps = bpb.BytesPerSector;
    const uint32_t fatSectors = bpb.FatSectors;
    const uint32_t root = bpb.RootCluster;
    const uint16_t rootEntries = bpb.RootEntries;
    const bool fat32 = bpb.FatBits == 32;

    vol.FatBits = bpb.FatBits;
    vol.BytesPerSector = bps;
    vol.BytesPerCluster = uint32_t{bps} * bpb.SectorsPerCluster;
    vol.FatOffset = int64_t{bpb.ReservedSectors} * bps;
    vol.RootCluster = root;
    vol.FatSectors = fatSectors;
    vol.FatCount = bpb.NumberOfFats;
    vol.TotalSectors = bpb.TotalSectors;
    const int64_t fatsEnd = (int64_t{bpb.ReservedSectors} + int64_t{bpb.NumberOfFats} * fatSectors) * bps;
    uint64_t marker = kFatFirstMarker;
    if (fat32) {
        vol.DataOffset = fatsEnd;
    } else {
        vol.RootDirOffset = fatsEnd;
        vol.RootDirBytes = uint32_t{rootEntries} * 32;
        const int64_t rootSectors = (int64_t{vol.RootDirBytes} + bps - 1) / bps;
        vol.DataOffset = fatsEnd + rootSectors * bps;
        marker = vol.FatBits == 12 ? 0xFF7 : 0xFFF7;
    }

    uint64_t limit = std::min<uint64_t>(marker, uint64_t{fatSectors} * bps * 8 / static_cast<uint64_t>(vol.FatBits));
    if (const uint64_t size = vol.Source->Size(); size > 0) {
        const uint64_t data = size > static_cast<uint64_t>(vol.DataOffset) ? size - static_cast<uint64_t>(vol.DataOffset) : 0;
        limit = std::min<uint64_t>(limit, data / vol.BytesPerCluster + 2);
    }
    vol.ClusterLimit = static_cast<uint32_t>(limit);

    if (fat32)
        log.SafeLog("Fast FAT32 geometry: bps=" + std::to_string(bps) + " cluster=" + std::to_string(vol.BytesPerCluster) +
                    " root_cluster=" + std::to_string(root) + " fat_sectors=" + std::to_string(fatSectors));
    else
        log.SafeLog("Fast " + FatKindName(vol) + " geometry: bps=" + std::to_string(bps) +
                    " cluster=" + std::to_string(vol.BytesPerCluster) + " root_entries=" + std::to_string(rootEntries) +
                    " fat_sectors=" + std::to_string(fatSectors));
    return vol;
}

bool ReadVolumeBytes(TFat32Volume& vol, int64_t offset, int64_t count, std::vector<uint8_t>& data) {
    data.clear();
    if (count <= 0) return true;
    if (count > kMaxReadBytes) return false;
    data.resize(static_cast<size_t>(count));
    std::vector<uint8_t> scratch;
    if (!ReadInto(vol, offset, count, data.data(), scratch)) {
        data.clear();
        return false;
    }
    return true;
}

int64_t ClusterToOffset(const TFat32Volume& vol, uint32_t cluster) {
    return vol.DataOffset + (static_cast<int64_t>(cluster) - 2) * static_cast<int64_t>(vol.BytesPerCluster);
}

bool IsDataCluster(const TFat32Volume& vol, uint32_t cluster) { return cluster >= 2 && cluster < vol.ClusterLimit; }

namespace {

// The same bytes of the second FAT, for a first one that cannot be read there. False when
// there is no second copy or it cannot be read either.
bool ReadSecondFat(TFat32Volume& vol, int64_t pos, uint8_t* out, size_t n) {
    if (vol.FatCount < 2 || !vol.Source) return false;
    const int64_t second = pos + int64_t{vol.FatSectors} * vol.BytesPerSector;
    std::vector<uint8_t> copy(n);
    TUnreadableWatch watch;
    try {
        if (!vol.Source->ReadExact(static_cast<uint64_t>(second), copy.data(), n) || watch.Any()) return false;
    } catch (...) {
        return false;
    }
    std::memcpy(out, copy.data(), n);
    return true;
}

// n bytes of the first FAT at pos through the block cache; false when they cannot be read.
bool FatBytes(TFat32Volume& vol, int64_t pos, size_t n, uint8_t* out) {
    const int64_t s = SectorSize(vol);
    const int64_t block = std::max<int64_t>(s, kFatCacheBytes / s * s);
    const auto cached = [&] {
        return vol.FatCacheOffset >= 0 && pos >= vol.FatCacheOffset &&
               pos + static_cast<int64_t>(n) <= vol.FatCacheOffset + static_cast<int64_t>(vol.FatCache.size());
    };
    if (!cached()) {
        // Block-aligned, or sector-aligned when a FAT12 entry straddles the block's end.
        int64_t blockStart = pos - pos % block;
        if (pos + static_cast<int64_t>(n) > blockStart + block) blockStart = pos - pos % s;
        vol.FatCacheOffset = -1;
        vol.FatCache.resize(static_cast<size_t>(block));
        int64_t got = -1;
        {
            // Sectors a resilient source could not read come back as zeros, named here.
            TUnreadableWatch watch;
            try {
                got = vol.Source ? vol.Source->ReadAt(static_cast<uint64_t>(blockStart), vol.FatCache.data(), vol.FatCache.size()) : -1;
            } catch (...) {
                got = -1;
            }
            if (got < 0 && ReadSecondFat(vol, blockStart, vol.FatCache.data(), vol.FatCache.size()))
                got = static_cast<int64_t>(vol.FatCache.size());
            if (got > 0)
                for (const TByteRange& r : watch.TakeWithin({vol.FatCache.data(), static_cast<size_t>(got)}))
                    ReadSecondFat(vol, blockStart + static_cast<int64_t>(r.Offset), vol.FatCache.data() + r.Offset, r.Length);
        }
        if (got < 0) got = 0;
        // Only whole sectors count, as with every other read of the volume.
        vol.FatCache.resize(static_cast<size_t>(got - got % s));
        vol.FatCacheOffset = blockStart;
        if (!cached()) return false;
    }
    std::memcpy(out, vol.FatCache.data() + (pos - vol.FatCacheOffset), n);
    return true;
}

} // namespace

uint32_t ReadFatEntry(TFat32Volume& vol, uint32_t cluster) {
    // Entries past the FAT's own size do not exist; reading them would pick up the next
    // FAT copy or directory data.
    const uint64_t fatBytes = uint64_t{vol.FatSectors} * vol.BytesPerSector;
    uint8_t b[4] = {};
    switch (vol.FatBits) {
        case 12: {
            const uint64_t at = uint64_t{cluster} + cluster / 2;
            if (at + 2 > fatBytes || !FatBytes(vol, vol.FatOffset + static_cast<int64_t>(at), 2, b)) return 0;
            const uint32_t v = (cluster & 1) ? uint32_t(b[0] >> 4) | uint32_t(b[1]) << 4 : b[0] | uint32_t(b[1] & 0x0F) << 8;
            return v >= 0xFF7 ? v - 0xFF7 + kFatFirstMarker : v;
        }
        case 16: {
            if (uint64_t{cluster} * 2 + 2 > fatBytes || !FatBytes(vol, vol.FatOffset + int64_t{2} * cluster, 2, b)) return 0;
            const uint32_t v = b[0] | uint32_t(b[1]) << 8;
            return v >= 0xFFF7 ? v - 0xFFF7 + kFatFirstMarker : v;
        }
        default:
            if (uint64_t{cluster} * 4 + 4 > fatBytes || !FatBytes(vol, vol.FatOffset + int64_t{4} * cluster, 4, b)) return 0;
            return ReadLe32(ByteSpan(b, 4), 0) & kFatEntryMask;
    }
}

bool IsClusterAllocated(TFat32Volume& vol, uint32_t cluster) {
    return IsDataCluster(vol, cluster) && ReadFatEntry(vol, cluster) != 0;
}

int64_t TFatDirData::EntryOffset(size_t index) const {
    if (BytesPerCluster == 0) return -1;
    const uint64_t byte = uint64_t{index} * 32;
    const uint64_t piece = byte / BytesPerCluster;
    if (piece >= PieceOffsets.size()) return -1;
    return PieceOffsets[piece] + static_cast<int64_t>(byte % BytesPerCluster);
}

namespace {

uint64_t CapClusters(const TFat32Volume& vol, int64_t sizeHint, uint64_t defaultCap) {
    const uint64_t bpc = vol.BytesPerCluster;
    uint64_t cap = sizeHint > 0 ? (static_cast<uint64_t>(sizeHint) + bpc - 1) / bpc : defaultCap;
    return std::max<uint64_t>(cap, 1);
}

void CutToHint(TFatDirData& out, int64_t sizeHint) {
    if (sizeHint > 0 && static_cast<uint64_t>(sizeHint) < out.Data.size()) out.Data.resize(static_cast<size_t>(sizeHint));
}

} // namespace

bool ReadClusterChain(TFat32Volume& vol, uint32_t start, int64_t sizeHint, TFatDirData& out, TFatClusterSet* consumed) {
    out = TFatDirData{};
    out.BytesPerCluster = vol.BytesPerCluster;
    if (start < 2 || !IsClusterAllocated(vol, start)) return false;
    const uint64_t bpc = vol.BytesPerCluster;
    uint64_t cap = std::min<uint64_t>(CapClusters(vol, sizeHint, kDirChainCapClusters), kDirChainCapClusters);
    cap = std::max<uint64_t>(1, std::min<uint64_t>(cap, (kDirMaxBytes + bpc - 1) / bpc));

    // Collect the chain first: the FAT block cache makes this cheap, and consecutive
    // clusters can then be read with one request each run.
    std::vector<uint32_t> chain;
    TFatClusterSet seen;
    uint32_t c = start;
    while (chain.size() < cap) {
        if (!IsDataCluster(vol, c)) {
            if (c >= 2 && c < kFatFirstMarker) out.Note = "next cluster " + std::to_string(c) + " beyond the volume";
            break;
        }
        if (!seen.insert(c).second) {
            out.Note = "chain loops back to cluster " + std::to_string(c);
            break;
        }
        if (consumed && consumed->count(c)) {
            out.Note = "cluster " + std::to_string(c) + " already read for another directory";
            break;
        }
        chain.push_back(c);
        const uint32_t next = ReadFatEntry(vol, c);
        if (next == 0) break;
        c = next;
    }

    std::vector<uint8_t> scratch;
    size_t i = 0;
    while (i < chain.size()) {
        size_t j = i + 1;
        while (j < chain.size() && chain[j] == chain[j - 1] + 1) ++j;
        const size_t before = out.Data.size();
        const uint64_t runBytes = (j - i) * bpc;
        out.Data.resize(before + runBytes);
        if (!ReadInto(vol, ClusterToOffset(vol, chain[i]), static_cast<int64_t>(runBytes), out.Data.data() + before, scratch)) {
            // Keep the clusters in front of the unreadable one: a bad sector late in a
            // directory must not hide the entries read before it.
            out.Data.resize(before);
            size_t k = i;
            for (; k < j; ++k) {
                const size_t at = out.Data.size();
                out.Data.resize(at + bpc);
                if (!ReadInto(vol, ClusterToOffset(vol, chain[k]), static_cast<int64_t>(bpc), out.Data.data() + at, scratch)) {
                    out.Data.resize(at);
                    break;
                }
                out.PieceOffsets.push_back(ClusterToOffset(vol, chain[k]));
                if (consumed) consumed->insert(chain[k]);
            }
            if (k == j) {  // the run failed as a whole but each cluster read on its own
                i = j;
                continue;
            }
            out.Note = "cluster " + std::to_string(chain[k]) + " cannot be read";
            break;
        }
        for (size_t k = i; k < j; ++k) {
            out.PieceOffsets.push_back(ClusterToOffset(vol, chain[k]));
            if (consumed) consumed->insert(chain[k]);
        }
        i = j;
    }
    CutToHint(out, sizeHint);
    return !out.Data.empty();
}

bool ReadContiguousClusters(TFat32Volume& vol, uint32_t start, int64_t sizeHint, TFatDirData& out) {
    out = TFatDirData{};
    out.BytesPerCluster = vol.BytesPerCluster;
    if (start < 2) return false;
    const uint64_t bpc = vol.BytesPerCluster;
    uint64_t count = std::min<uint64_t>(CapClusters(vol, sizeHint, 1), kFallbackMaxClusters);
    count = std::max<uint64_t>(1, std::min<uint64_t>(count, (kDirMaxBytes + bpc - 1) / bpc));
    std::vector<uint8_t> scratch;
    for (uint64_t i = 0; i < count; ++i) {
        const uint64_t c = uint64_t{start} + i;
        if (c >= kFatFirstMarker) break;
        const size_t at = out.Data.size();
        out.Data.resize(at + bpc);
        const int64_t off = ClusterToOffset(vol, static_cast<uint32_t>(c));
        if (!ReadInto(vol, off, static_cast<int64_t>(bpc), out.Data.data() + at, scratch)) {
            out.Data.resize(at);
            break;
        }
        out.PieceOffsets.push_back(off);
    }
    CutToHint(out, sizeHint);
    return !out.Data.empty();
}

bool ReadRootRegion(TFat32Volume& vol, TFatDirData& out) {
    out = TFatDirData{};
    out.BytesPerCluster = vol.BytesPerCluster;
    if (vol.RootDirBytes == 0 || vol.BytesPerCluster == 0) return false;
    if (!ReadVolumeBytes(vol, vol.RootDirOffset, vol.RootDirBytes, out.Data)) return false;
    // Cluster-sized pieces, so that entry positions work as for any directory.
    for (uint64_t at = 0; at < vol.RootDirBytes; at += vol.BytesPerCluster)
        out.PieceOffsets.push_back(vol.RootDirOffset + static_cast<int64_t>(at));
    return true;
}

bool ReadDirectoryClusters(TFat32Volume& vol, TFat32Log& log, uint32_t start, int64_t sizeHint, bool deleted,
                           TFatDirData& out, TFatClusterSet* consumed) {
    const bool dbg = log.DebugEnabled();
    const std::string head = "start=" + std::to_string(start) + " size=" + Hint(sizeHint);
    if (ReadClusterChain(vol, start, sizeHint, out, consumed)) {
        if (dbg) {
            log.SafeLog("FAT32 DBG dir read chain: " + head + " bytes_read=" + std::to_string(out.Data.size()) +
                        " deleted=" + BoolText(deleted));
            if (!out.Note.empty()) log.SafeLog("FAT32 DBG dir read chain cut: " + head + " reason=\"" + out.Note + "\"");
        }
        return true;
    }
    if (dbg)
        log.SafeLog("FAT32 DBG dir read chain failed: " + head + " deleted=" + BoolText(deleted) +
                    " allocated=" + BoolText(IsClusterAllocated(vol, start)));
    if (!deleted) return false;
    if (ReadContiguousClusters(vol, start, sizeHint, out)) {
        if (dbg) log.SafeLog("FAT32 DBG deleted dir fallback: " + head + " bytes_read=" + std::to_string(out.Data.size()));
        return true;
    }
    if (dbg) log.SafeLog("FAT32 DBG deleted dir fallback failed: " + head);
    return false;
}

} // namespace brivo
