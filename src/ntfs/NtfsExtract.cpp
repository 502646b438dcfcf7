#include "ntfs/NtfsExtract.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "core/ByteReaders.h"
#include "core/Text.h"
#include "core/TextFormat.h"
#include "ntfs/NtfsAttributeWalk.h"
#include "ntfs/NtfsFixups.h"
#include "ntfs/NtfsSweep.h"
#include "ntfs/NtfsRunList.h"
#include "ntfs/NtfsVolume.h"

namespace brivo {

namespace {

constexpr size_t kCopyChunk = 1024 * 1024;
constexpr uint32_t kAttrAttributeList = 0x20;
constexpr uint64_t kMftRecordBoot = 7;
// Attribute flags: any compression method, encryption.
constexpr uint16_t kAttrFlagCompressionMask = 0x00FF;
constexpr uint16_t kAttrFlagEncrypted = 0x4000;

// Whether the runs read from the same clusters as the engine would: a run longer than
// the volume or reaching past its end, or a cluster number below 0 (among them the first
// offset of -1 that old volumes wrote for sparse runs), is one the engine rejects or reads
// differently.
bool RunsFitVolume(const TNtfsRuns& runs, const TNtfsGeometry& geo) {
    for (const TNtfsMftRun& r : runs) {
        if (r.Clusters < 0 || r.Clusters > geo.ClusterCount) return false;
        if (r.Sparse) continue;
        int64_t end = 0;
        if (r.Lcn < 0 || __builtin_add_overflow(r.Lcn, r.Clusters, &end) || end > geo.ClusterCount) return false;
    }
    return true;
}

std::string ReadErrorText(const TByteSource& src, uint64_t offset, int64_t got) {
    std::string why = got < 0 ? src.LastError() : std::string();
    if (why.empty()) why = got < 0 ? "read error" : "the source ends before the file's data";
    return Format("Cannot read %s at byte %d: %s", {src.Name(), offset, why});
}

void WriteZeros(uint64_t n, std::span<uint8_t> buffer, TByteSink& sink) {
    if (n == 0) return;
    const size_t piece = static_cast<size_t>(std::min<uint64_t>(n, buffer.size()));
    std::memset(buffer.data(), 0, piece);
    while (n > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, piece));
        sink.Write(buffer.first(k));
        n -= k;
    }
}

void CopyRaw(TByteSource& src, uint64_t offset, uint64_t n, std::span<uint8_t> buffer, TByteSink& sink) {
    while (n > 0) {
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, buffer.size()));
        const int64_t got = src.ReadAt(offset, buffer.data(), k);
        if (got != static_cast<int64_t>(k)) throw std::runtime_error(ReadErrorText(src, offset, got));
        sink.Write(buffer.first(k));
        offset += k;
        n -= k;
    }
}

class TNtfsExtractor final : public TExtractor {
public:
    TNtfsExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback, bool sweptOnly)
        : src_(std::move(volume)), fallback_(std::move(fallback)), sweptOnly_(sweptOnly) {}

    void Extract(const TFoundFile& f, TByteSink& sink) override {
        if (!f.Inode.empty() && f.Inode[0] == kSweptAddressMark) return ExtractSwept(f, sink);
        if (sweptOnly_) {
            if (fallback_) return fallback_->Extract(f, sink);
            throw std::runtime_error(Format("Cannot copy %s: it was not found among the volume's NTFS records.", {f.FullPath}));
        }
        const std::optional<TNtfsAddress> addr = ParseNtfsAddress(f.Inode);
        if (!addr || (addr->Type && *addr->Type != kAttrData) || addr->Record == kMftRecordBoot)
            return Fallback(f, sink);
        if (!Load()) return Fallback(f, sink);
        int64_t off = 0;
        if (addr->Record > static_cast<uint64_t>(INT64_MAX) ||
            !MulInt64(static_cast<int64_t>(addr->Record), vol_.Geo.RecordSize, off) ||
            !ReadMftBytes(vol_, off, vol_.Geo.RecordSize, record_) || ApplyFixups(record_) != TNtfsFixups::Ok)
            return Fallback(f, sink);
        const std::optional<TNtfsDataLayout> layout = PlanNtfsData(record_, vol_.Geo, addr->Id);
        if (!layout) return Fallback(f, sink);
        if (buffer_.empty()) buffer_.resize(kCopyChunk);
        CopyNtfsData(*layout, record_, vol_.Geo, *src_, buffer_, sink);
    }

private:
    // A record the deep scan found in free space: no $MFT maps it, and the engine knows no
    // such address, so it is read again at its byte offset and copied here or not at all.
    void ExtractSwept(const TFoundFile& f, TByteSink& sink) {
        const std::optional<TSweptAddress> addr = ParseSweptAddress(f.Inode);
        const std::string cannot = Format("Cannot copy %s: the record found in free space can no longer be read "
                                          "or describes its data in a way this reader does not copy.",
                                          {f.FullPath});
        if (!addr) throw std::runtime_error(cannot);
        TNtfsGeometry geo;
        TByteSource* data = src_.get();
        if (addr->Bootless) {
            // No boot sector: the address carries what the sweep worked out in its place.
            geo.BytesPerSector = 512;
            geo.RecordSize = static_cast<int32_t>(addr->RecordSize);
            geo.BytesPerCluster = static_cast<int32_t>(addr->ClusterSize > 0 ? addr->ClusterSize : 512);
            if (addr->ClusterSize > 0 && src_->Size() > static_cast<uint64_t>(addr->Origin)) {
                if (!origin_ || originAt_ != addr->Origin) {
                    origin_ = MakeSliceByteSource(src_, static_cast<uint64_t>(addr->Origin),
                                                  src_->Size() - static_cast<uint64_t>(addr->Origin), src_->Name());
                    originAt_ = addr->Origin;
                }
                data = origin_.get();
                geo.ClusterCount = static_cast<int64_t>(data->Size() / static_cast<uint64_t>(addr->ClusterSize));
            }
        } else {
            if (!Load()) throw std::runtime_error(loadError_);
            geo = vol_.Geo;
        }
        if (!ReadSourceBytes(*src_, static_cast<int64_t>(addr->Pos), geo.RecordSize, record_) ||
            ApplyFixups(record_) != TNtfsFixups::Ok)
            throw std::runtime_error(cannot);
        const std::optional<TNtfsDataLayout> layout = PlanNtfsData(record_, geo, addr->StreamId);
        if (!layout && addr->Bootless && addr->ClusterSize == 0)
            throw std::runtime_error(Format("Cannot copy %s: its data lies outside its record, and the volume's "
                                            "cluster size could not be worked out without its boot sector.",
                                            {f.FullPath}));
        if (!layout) throw std::runtime_error(cannot);
        if (buffer_.empty()) buffer_.resize(std::max<size_t>(kCopyChunk, static_cast<size_t>(geo.BytesPerCluster)));
        CopyNtfsData(*layout, record_, geo, *data, buffer_, sink);
    }

    bool Load() {
        if (loaded_) return true;
        if (!loadError_.empty()) return false;
        try {
            LoadNtfsVolume(*src_, vol_);
            loaded_ = true;
        } catch (const std::runtime_error& e) {
            loadError_ = e.what();
        }
        return loaded_;
    }

    void Fallback(const TFoundFile& f, TByteSink& sink) {
        if (fallback_) return fallback_->Extract(f, sink);
        if (!loadError_.empty()) throw std::runtime_error(loadError_);
        throw std::runtime_error(Format("Cannot copy %s: its data is stored in a way only the engine reads.", {f.Inode}));
    }

    TByteSourcePtr src_;
    std::unique_ptr<TExtractor> fallback_;
    const bool sweptOnly_;
    bool loaded_ = false;
    std::string loadError_;
    TNtfsVolume vol_;
    TByteSourcePtr origin_;  // the volume from its cluster 0 on, for bootless records
    int64_t originAt_ = -1;
    std::vector<uint8_t> record_;
    std::vector<uint8_t> buffer_;
};

} // namespace

std::optional<TNtfsAddress> ParseNtfsAddress(const std::string& inode) {
    TNtfsAddress a;
    size_t pos = 0;
    uint64_t v = 0;
    if (!ReadDecimalAt(inode, pos, 0xFFFFFFFFFFFFull, a.Record)) return std::nullopt;
    if (pos < inode.size()) {
        if (inode[pos++] != '-' || !ReadDecimalAt(inode, pos, UINT32_MAX, v)) return std::nullopt;
        a.Type = static_cast<uint32_t>(v);
        if (pos < inode.size()) {
            if (inode[pos++] != '-' || !ReadDecimalAt(inode, pos, UINT16_MAX, v)) return std::nullopt;
            a.Id = static_cast<uint16_t>(v);
        }
    }
    if (pos != inode.size()) return std::nullopt;
    return a;
}

std::optional<TNtfsDataLayout> PlanNtfsData(NtfsBytes rec, const TNtfsGeometry& geo, std::optional<uint16_t> id) {
    const int64_t size = static_cast<int64_t>(rec.size());
    if (size < 48 || std::memcmp(rec.data(), "FILE", 4) != 0) return std::nullopt;
    // An extension record holds attributes of another file; the engine reads it whole.
    if (MftRecordNumber(ReadLe64(rec, 32)) != 0) return std::nullopt;
    if (geo.BytesPerCluster < 1 || geo.ClusterCount < 0) return std::nullopt;

    // Walk every attribute to the end marker: a record that ends otherwise, or holds an
    // attribute of an unaligned length, is one the engine may read differently.
    std::optional<TNtfsAttr> chosen;
    int found = 0;
    bool refused = false;
    const TNtfsWalkEnd end = WalkMftAttributes(
        rec,
        [&](const TNtfsAttr& a) {
            if ((a.Length & 7) != 0 || a.Type == kAttrAttributeList) {
                refused = true;
                return false;
            }
            if (a.Type == kAttrData && (id ? a.Id == *id : a.NameLength == 0)) {
                chosen = a;
                ++found;
            }
            return true;
        },
        8);
    if (refused || end != TNtfsWalkEnd::EndMarker || found != 1) return std::nullopt;

    const TNtfsAttr& a = *chosen;
    const int64_t p = a.P, len = a.Length;
    if (a.Flags & (kAttrFlagCompressionMask | kAttrFlagEncrypted)) return std::nullopt;
    TNtfsDataLayout out;
    if (!a.NonResident) {
        if (len < 24) return std::nullopt;
        const int64_t vlen = ReadLe32(rec, p + 16), voff = ReadLe16(rec, p + 20);
        if (voff < 24 || voff + vlen > len) return std::nullopt;
        out.Resident = true;
        out.ValueOffset = p + voff;
        out.Size = vlen;
        out.InitSize = vlen;
        return out;
    }
    if (len < 64 || ReadLe64(rec, p + 16) != 0 || ReadLe16(rec, p + 34) != 0) return std::nullopt;
    const int64_t runsAt = ReadLe16(rec, p + 32);
    const auto alloc = static_cast<int64_t>(ReadLe64(rec, p + 40));
    out.Size = static_cast<int64_t>(ReadLe64(rec, p + 48));
    out.InitSize = static_cast<int64_t>(ReadLe64(rec, p + 56));
    if (runsAt < 64 || runsAt >= len || out.Size < 0 || out.InitSize < 0 || alloc < out.Size) return std::nullopt;
    TNtfsRunList runs = DecodeAttributeRuns(rec, p, a.Length);
    if (!runs.Complete || !RunsFitVolume(runs.Runs, geo)) return std::nullopt;
    // The runs must hold every byte of the content; the engine's copy of a file whose
    // runs end early stops short, which a direct copy would not repeat exactly.
    int64_t clusters = 0, covered = 0;
    for (const auto& r : runs.Runs)
        if (__builtin_add_overflow(clusters, r.Clusters, &clusters)) return std::nullopt;
    if (!MulInt64(clusters, geo.BytesPerCluster, covered) || covered < out.Size) return std::nullopt;
    out.Runs = std::move(runs.Runs);
    return out;
}

void CopyNtfsData(const TNtfsDataLayout& layout, NtfsBytes record, const TNtfsGeometry& geo, TByteSource& src,
                  std::span<uint8_t> buffer, TByteSink& sink) {
    if (layout.Size <= 0) return;
    if (layout.Resident) {
        if (layout.ValueOffset < 0 || layout.ValueOffset > static_cast<int64_t>(record.size()) ||
            layout.Size > static_cast<int64_t>(record.size()) - layout.ValueOffset)
            throw std::runtime_error("Damaged MFT record: resident data outside the record.");
        sink.Write(record.subspan(static_cast<size_t>(layout.ValueOffset), static_cast<size_t>(layout.Size)));
        return;
    }
    if (buffer.empty()) throw std::invalid_argument("no copy buffer");
    const uint64_t size = static_cast<uint64_t>(layout.Size);
    const uint64_t init = std::min<uint64_t>(static_cast<uint64_t>(std::max<int64_t>(layout.InitSize, 0)), size);
    const uint64_t bpc = static_cast<uint64_t>(geo.BytesPerCluster);
    uint64_t pos = 0;
    for (const TNtfsMftRun& run : layout.Runs) {
        if (pos >= size) break;
        if (run.Clusters <= 0) continue;
        uint64_t runBytes = 0;
        if (__builtin_mul_overflow(static_cast<uint64_t>(run.Clusters), bpc, &runBytes)) runBytes = UINT64_MAX;
        const uint64_t take = std::min(runBytes, size - pos);
        // Bytes of this piece before the initialized size come from the disk.
        const uint64_t raw = (run.Sparse || pos >= init) ? 0 : std::min(take, init - pos);
        if (raw > 0) {
            uint64_t disk = 0;
            if (__builtin_mul_overflow(static_cast<uint64_t>(run.Lcn), bpc, &disk))
                throw std::runtime_error("Damaged runlist: cluster number out of range.");
            CopyRaw(src, disk, raw, buffer, sink);
        }
        WriteZeros(take - raw, buffer, sink);
        pos += take;
    }
    if (pos < size) throw std::runtime_error("Damaged runlist: the runs end before the file's data.");
}

std::unique_ptr<TExtractor> MakeNtfsExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                              bool sweptOnly) {
    if (!volume) throw std::invalid_argument("NTFS extractor without a volume");
    return std::make_unique<TNtfsExtractor>(std::move(volume), std::move(fallback), sweptOnly);
}

} // namespace brivo
