#include "ntfs/NtfsSweep.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <unordered_set>
#include <vector>

#include "core/ByteReaders.h"
#include "core/Text.h"
#include "core/TextFormat.h"
#include "filters/NoiseFilter.h"
#include "filters/Wildcard.h"
#include "ntfs/NtfsFileName.h"
#include "ntfs/NtfsFixups.h"
#include "ntfs/NtfsFreeSpace.h"
#include "ntfs/NtfsRecordAnalysis.h"
#include "ntfs/NtfsAttributeWalk.h"
#include "ntfs/NtfsRunList.h"
#include "platform/Ticks.h"

namespace brivo {

namespace {

// Free space is read in blocks this large: big sequential reads keep the sweep at the
// source's streaming speed.
constexpr int64_t kSweepBlock = 8 * 1024 * 1024;
constexpr uint64_t kProgressInterval = 150;  // ms


} // namespace

TSweptRecord CheckSweptRecord(std::span<uint8_t> rec, int64_t pos, const TNtfsGeometry& geo, uint64_t& number) {
    number = kSweptNoNumber;
    if (rec.size() < 48 || std::memcmp(rec.data(), "FILE", 4) != 0) return TSweptRecord::NotRecord;
    const ByteSpan r(rec.data(), rec.size());
    const int64_t size = static_cast<int64_t>(rec.size());
    const int64_t first = ReadLe16(r, 20);
    const int64_t used = ReadLe32(r, 24);
    const int64_t alloc = ReadLe32(r, 28);
    const int64_t usa = ReadLe16(r, 4);
    if (alloc != size || used > size || first < 42 || first % 8 != 0 || first + 8 > used)
        return TSweptRecord::BadHeader;
    switch (ApplyFixups(rec)) {
    case TNtfsFixups::Ok: break;
    case TNtfsFixups::Torn: return TSweptRecord::Torn;
    case TNtfsFixups::Damaged: return TSweptRecord::BadHeader;
    }
    if (usa >= 48) {
        number = ReadLe32(r, 44);
        const int64_t bpc = geo.BytesPerCluster;
        const uint64_t rs = static_cast<uint64_t>(size);
        if (bpc > 0 && (static_cast<uint64_t>(pos) - number * rs) % static_cast<uint64_t>(bpc) != 0)
            return TSweptRecord::ForeignNumber;
    }
    return TSweptRecord::Ok;
}

std::string BuildSweptFolder(uint64_t parentRef, const TNtfsNodeMap& swept, const TNtfsNodeMap& live) {
    std::vector<std::string_view> names;
    std::vector<uint64_t> visited;
    uint64_t cur = MftRecordNumber(parentRef);
    uint16_t curSeq = MftSequenceNumber(parentRef);
    TNtfsMftNode node;
    bool rooted = false;
    while (visited.size() < kMaxMftPathDepth) {
        if (cur == kMftRecordRoot) {
            rooted = true;
            break;
        }
        if (std::find(visited.begin(), visited.end(), cur) != visited.end()) break;
        // Records in free space belong to an earlier $MFT: after a format the live record
        // under the same number and even the same sequence number is another folder, so
        // only the records every $MFT gives the same role are taken from the live one.
        const bool found = (swept.Find(cur, node) && node.IsDir && ParentReferenceMatches(curSeq, node)) ||
                           (cur < kMftFirstUserRecord && live.Find(cur, node) && node.IsDir &&
                            ParentReferenceMatches(curSeq, node));
        if (!found) break;
        visited.push_back(cur);
        names.push_back(node.Name);
        cur = node.Parent;
        curSeq = node.ParentSeq;
    }
    std::string path = rooted ? std::string() : "$OrphanFiles/Folder " + std::to_string(cur);
    for (auto it = names.rbegin(); it != names.rend(); ++it) {
        if (!path.empty()) path.push_back('/');
        path.append(*it);
    }
    return path;
}

namespace {

constexpr int64_t kSmallRecord = 1024;
constexpr int64_t kLargeRecord = 4096;
// Evidence kept for working out a bootless volume's geometry: a few of each is plenty,
// and each is tried with every cluster size by a read of its own.
constexpr size_t kMaxMftCopies = 8;
constexpr size_t kMaxGeometryEvidence = 16;
constexpr uint64_t kMftRecordMirror = 1;
constexpr uint32_t kAttrIndexAllocation = 0xA0;

// The first cluster of the record's first non-resident attribute of this type (and, for
// $DATA, unnamed), or -1.
int64_t FirstClusterOf(NtfsBytes rec, uint32_t type) {
    int64_t lcn = -1;
    WalkMftAttributes(rec, [&](const TNtfsAttr& a) {
        if (a.Type != type || !a.NonResident || (type == kAttrData && a.NameLength != 0)) return true;
        const TNtfsRunList runs = DecodeAttributeRuns(rec, a.P, a.Length);
        if (!runs.Runs.empty() && !runs.Runs[0].Sparse && runs.Runs[0].Lcn > 0) lcn = runs.Runs[0].Lcn;
        return false;
    });
    return lcn;
}

// A copy of $MFT record 0 met by a bootless sweep, with the runs of the $MFT it describes.
struct TMftCopy {
    int64_t Pos;
    int64_t RecordSize;
    int64_t DataSize;
    TNtfsRuns Runs;
};

class TSweep {
public:
    TSweep(const TNtfsSweepInput& in, TReaderReport& report, bool bootless)
        : in_(in), report_(report), bootless_(bootless) {}

    // False when nothing can be swept (no bitmap says which clusters are free).
    bool BeginFree() {
        const TNtfsGeometry& g = in_.Vol.Geo;
        if (!in_.Bitmap.Loaded || !in_.Vol.Source || g.BytesPerCluster <= 0 || g.RecordSize <= 0) {
            report_.Log("NTFS record sweep skipped: no cluster bitmap tells which clusters are free.");
            return false;
        }
        minRecord_ = maxRecord_ = g.RecordSize;
        step_ = std::min<int64_t>(g.RecordSize, g.BytesPerCluster);
        progressText_ = Tr("Deep scan: sweeping free space for lost records, %d MiB read, %d records found...");
        return true;
    }

    TNtfsSweepResult Run() {
        if (!BeginFree()) return {};
        const TNtfsGeometry& g = in_.Vol.Geo;
        int64_t clusters = static_cast<int64_t>(in_.Bitmap.Bits.size()) * 8;
        if (g.ClusterCount > 0) clusters = std::min(clusters, g.ClusterCount);
        const uint64_t srcSize = in_.Vol.Source->Size();
        if (srcSize != 0) clusters = std::min<int64_t>(clusters, static_cast<int64_t>(srcSize / g.BytesPerCluster));
        clusters = std::min<int64_t>(clusters, INT64_MAX / g.BytesPerCluster);
        const uint64_t bpc = static_cast<uint64_t>(g.BytesPerCluster);
        for (const TByteExtent& run : NtfsFreeAreas(in_.Bitmap, bpc, static_cast<uint64_t>(clusters) * bpc)) {
            if (report_.StopRequested()) break;
            SweepRange(static_cast<int64_t>(run.Offset), static_cast<int64_t>(run.Length));
        }
        return FinishFree();
    }

    TNtfsSweepResult FinishFree() {
        TNtfsSweepResult out;
        LogCounts();
        const uint64_t bpc = static_cast<uint64_t>(in_.Vol.Geo.BytesPerCluster);
        for (const uint64_t lcn : startClusters_) out.KnownStarts.push_back(lcn * bpc);
        BuildResults(out, [&](const TSweptFile& s) {
            TSweptAddress a;
            a.Pos = static_cast<uint64_t>(s.Pos);
            if (!s.Stream.empty()) a.StreamId = s.StreamId;
            return MakeSweptAddress(a);
        });
        return out;
    }

    // Without a boot sector the blocks come from SweepWhole or from another reader.
    void BeginBootless() {
        // Every sector: a volume that began at sector 63 of a disk whose table is lost
        // has its records at odd sectors of what is scanned.
        step_ = 512;
        minRecord_ = kSmallRecord;
        maxRecord_ = kLargeRecord;
        progressText_ = Tr("Deep scan: searching the whole volume for lost NTFS records, %d MiB read, %d records found...");
        report_.Log("No NTFS boot sector: searching every sector of the volume for FILE records.");
    }

    void SweepWhole() {
        const uint64_t size = in_.Vol.Source->Size();
        if (size > 0) SweepRange(0, static_cast<int64_t>(std::min<uint64_t>(size, INT64_MAX / 2)));
    }

    void SearchGiven(uint64_t at, std::span<const uint8_t> bytes, uint64_t starts) {
        if (at > static_cast<uint64_t>(INT64_MAX / 2)) return;
        freeBytes_ += static_cast<int64_t>(std::min<uint64_t>(starts, bytes.size()));
        SearchBlock(static_cast<int64_t>(at), bytes, static_cast<int64_t>(std::min<uint64_t>(starts, bytes.size())));
    }

    TNtfsSweepResult FinishBootless(TNtfsBootlessGeometry* geometry) {
        TNtfsSweepResult out;
        LogCounts();
        TNtfsBootlessGeometry geo = WorkOutGeometry();
        if (geometry) *geometry = geo;
        TSweptAddress base;
        base.Bootless = true;
        if (geo.Known) {
            report_.Log(Format("NTFS geometry worked out from the records found: cluster=%d bytes, cluster 0 at byte %d.",
                               {geo.ClusterSize, geo.Origin}));
            base.ClusterSize = geo.ClusterSize;
            base.Origin = geo.Origin;
            RateAgainstOldBitmap(geo);
            for (const uint64_t lcn : startClusters_)
                out.KnownStarts.push_back(static_cast<uint64_t>(geo.Origin) + lcn * static_cast<uint64_t>(geo.ClusterSize));
        } else if (!files_.empty()) {
            report_.Log("The volume's cluster size could not be worked out from the records found: only files kept "
                        "inside their records can be copied.");
        }
        BuildResults(out, [&](const TSweptFile& s) {
            TSweptAddress a = base;
            a.Pos = static_cast<uint64_t>(s.Pos);
            a.RecordSize = s.RecordSize;
            if (!s.Stream.empty()) a.StreamId = s.StreamId;
            return MakeSweptAddress(a);
        });
        return out;
    }

private:
    // A swept file before its path is known.
    struct TSweptFile {
        int64_t Pos;
        int64_t RecordSize;
        uint64_t ParentRef;
        std::string Name;
        int64_t Size;
        TDateTime ModDateUtc;
        bool HasModDate;
        TDateTime CreateDateUtc;
        bool HasCreateDate;
        bool InUse;
        TNtfsCondition Condition;
        std::string Stream;  // empty: the unnamed stream
        uint16_t StreamId;
    };

    // Blocks lie at fixed places kSweepBlock apart, each read with the first bytes of the
    // next so that a record starting in it is whole.
    void SweepRange(int64_t begin, int64_t len) {
        freeBytes_ += len;
        const int64_t end = begin + len;
        for (int64_t at = begin; end - at >= minRecord_; at += kSweepBlock) {
            if (report_.StopRequested()) return;
            const int64_t n = std::min(kSweepBlock + maxRecord_, end - at);
            if (block_.size() < static_cast<size_t>(n)) block_.resize(static_cast<size_t>(n));
            const std::span<uint8_t> data(block_.data(), static_cast<size_t>(n));
            if (ReadSourceInto(*in_.Vol.Source, at, data)) SearchBlock(at, data, std::min(kSweepBlock, end - at));
            else ++unreadable_;  // one unreadable block costs only its own records
            Progress();
        }
    }

    // Candidates start in the block's first `starts` bytes, every step_ bytes.
    void SearchBlock(int64_t at, std::span<const uint8_t> data, int64_t starts) {
        const int64_t n = static_cast<int64_t>(data.size());
        for (int64_t off = 0; off < starts && off + minRecord_ <= n; off += step_) {
            if (std::memcmp(data.data() + off, "FILE", 4) != 0) continue;
            const int64_t size = RecordSizeAt(data, off);
            // Only at the end of the range can a record be cut short.
            if (size == 0 || off + size > n) continue;
            Candidate(at + off, data.subspan(static_cast<size_t>(off), static_cast<size_t>(size)));
        }
    }

    // The volume's record size; without a boot sector, the size the record's header
    // gives, when it is one a format writes.
    int64_t RecordSizeAt(std::span<const uint8_t> data, int64_t off) const {
        if (!bootless_) return in_.Vol.Geo.RecordSize;
        const int64_t alloc = ReadLe32(ByteSpan(data.data(), data.size()), off + 28);
        return alloc == kSmallRecord || alloc == kLargeRecord ? alloc : 0;
    }

    void Progress() {
        const uint64_t now = GetTickCount64();
        if (now - lastTick_ <= kProgressInterval) return;
        lastTick_ = now;
        report_.Progress(0, 1, Format(progressText_, {freeBytes_ / (1024 * 1024), recordsFound_}));
    }

    std::string Tr(const std::string& s) { return in_.Translate ? in_.Translate(s) : s; }

    void LogCounts() {
        report_.Log(Format("NTFS record sweep: %s=%d records=%d torn=%d foreign=%d bad_header=%d "
                           "duplicates=%d unreadable=%d ms=%d",
                           {bootless_ ? "bytes" : "free_bytes", freeBytes_, recordsFound_, torn_, foreign_, badHeader_,
                            duplicates_, unreadable_, GetTickCount64() - startTick_}));
    }

    void Candidate(int64_t pos, std::span<const uint8_t> raw) {
        rec_.assign(raw.begin(), raw.end());
        uint64_t number = 0;
        switch (CheckSweptRecord(rec_, pos, in_.Vol.Geo, number)) {
        case TSweptRecord::Ok: break;
        case TSweptRecord::NotRecord: return;
        case TSweptRecord::Torn: ++torn_; return;
        case TSweptRecord::BadHeader: ++badHeader_; return;
        case TSweptRecord::ForeignNumber: ++foreign_; return;
        }
        const NtfsBytes r(rec_.data(), rec_.size());
        const uint16_t used = static_cast<uint16_t>(std::min<uint64_t>(ReadLe32(r, 24), rec_.size()));
        const size_t h = std::hash<std::string_view>{}(
            std::string_view(reinterpret_cast<const char*>(rec_.data()), used));
        if (!seen_.insert(h).second) {
            ++duplicates_;
            return;
        }
        if (!ParseMftFileName(r, name_)) return;
        const uint16_t seq = ReadLe16(r, 16);
        TNtfsMftNode live;
        if (number != kSweptNoNumber && in_.Live.Find(number, live) && live.Seq == seq && live.Name == name_.Name &&
            MakeMftReference(live.Parent, live.ParentSeq) == name_.ParentRef) {
            ++duplicates_;
            return;
        }
        ++recordsFound_;
        const uint16_t flags = ReadLe16(r, 22);
        if (bootless_) NoteGeometryEvidence(r, pos, number);
        // Records without a number cannot be anyone's parent; they get a number no
        // reference holds, so they stay apart in the map.
        const uint64_t key = number != kSweptNoNumber ? number : (uint64_t{1} << 48) + static_cast<uint64_t>(pos);
        if (name_.IsDir || (flags & kMftFlagDirectory)) {
            swept_.Add(key, name_.ParentRef, seq, name_.Name, true, (flags & kMftFlagInUse) != 0);
            return;
        }
        // The metadata files are nobody's lost files (and $BadClus would copy the volume's size).
        if (number < kMftFirstUserRecord) return;
        const TNtfsRecordFacts f = AnalyzeMftRecord(r, in_.Bitmap, in_.Translate, true);
        if (!f.HasData) return;
        if (f.FirstLcn > 0) startClusters_.push_back(static_cast<uint64_t>(f.FirstLcn));
        const int64_t rs = static_cast<int64_t>(rec_.size());
        const bool inUse = (flags & kMftFlagInUse) != 0;
        files_.push_back({pos, rs, name_.ParentRef, name_.Name, f.Size, f.ModDateUtc, f.HasModDate, f.CreateDateUtc,
                          f.HasCreateDate, inUse, f.Condition, {}, 0});
        for (const TNtfsStreamFacts& s : f.Streams)
            files_.push_back({pos, rs, name_.ParentRef, name_.Name, s.Size, f.ModDateUtc, f.HasModDate, f.CreateDateUtc,
                              f.HasCreateDate, inUse, s.Condition, s.Name, s.Id});
    }

    // What a bootless volume's geometry is worked out from: the copies of record 0 with
    // the $MFT's runs, where $MFTMirr lies, and where folders keep their index blocks.
    void NoteGeometryEvidence(NtfsBytes r, int64_t pos, uint64_t number) {
        if (number == kMftRecordMft && name_.Name == "$MFT" && mftCopies_.size() < kMaxMftCopies) {
            TMftCopy copy{pos, static_cast<int64_t>(r.size()), 0, {}};
            if (ReadMftDataRuns(r, copy.DataSize, copy.Runs) && !copy.Runs.empty() && !copy.Runs[0].Sparse &&
                copy.Runs[0].Lcn > 0)
                mftCopies_.push_back(std::move(copy));
        } else if (number == kMftRecordMirror && name_.Name == "$MFTMirr" && mirrorClusters_.size() < kMaxGeometryEvidence) {
            const int64_t lcn = FirstClusterOf(r, kAttrData);
            if (lcn > 0) mirrorClusters_.push_back(lcn);
        } else if (name_.IsDir && indexClusters_.size() < kMaxGeometryEvidence) {
            const int64_t lcn = FirstClusterOf(r, kAttrIndexAllocation);
            if (lcn > 0) indexClusters_.push_back(lcn);
        }
    }

    bool SignatureAt(int64_t lcn, int64_t cluster, int64_t origin, const char* sig) {
        int64_t at = 0;
        uint8_t b[4] = {};
        return MulInt64(lcn, cluster, at) && AddInt64(at, origin, at) &&
               ReadSourceInto(*in_.Vol.Source, at, std::span<uint8_t>(b, 4)) && std::memcmp(b, sig, 4) == 0;
    }

    // Each copy of record 0 says at which cluster the $MFT starts; every cluster size
    // then puts cluster 0 somewhere else. The pair under which $MFTMirr holds a FILE
    // record and the folders' index blocks start with "INDX" is the volume's. Cluster 0 at
    // the very start of the volume counts a little too, for a volume seen through its
    // partition whose other evidence was overwritten.
    TNtfsBootlessGeometry WorkOutGeometry() {
        TNtfsBootlessGeometry best;
        int bestScore = 0;
        for (const TMftCopy& copy : mftCopies_) {
            for (int64_t cluster = 512; cluster <= 2 * 1024 * 1024; cluster *= 2) {
                int64_t mftAt = 0;
                if (!MulInt64(copy.Runs[0].Lcn, cluster, mftAt) || mftAt > copy.Pos) continue;
                const int64_t origin = copy.Pos - mftAt;
                if (origin % 512 != 0) continue;
                int score = origin == 0 ? 1 : 0;
                for (const int64_t lcn : mirrorClusters_) score += SignatureAt(lcn, cluster, origin, "FILE") ? 4 : 0;
                for (const int64_t lcn : indexClusters_) score += SignatureAt(lcn, cluster, origin, "INDX") ? 2 : 0;
                if (score > bestScore) {
                    bestScore = score;
                    best = {true, cluster, origin};
                    best_ = &copy;
                }
            }
        }
        return best;
    }

    // With the geometry known, the earlier volume's own $Bitmap says which of a deleted
    // file's clusters were handed out again; a file still in use owns its clusters.
    void RateAgainstOldBitmap(const TNtfsBootlessGeometry& geo) {
        TByteSource& src = *in_.Vol.Source;
        const TByteSourcePtr borrowed(std::shared_ptr<TByteSource>(), &src);
        const uint64_t size = src.Size();
        if (size <= static_cast<uint64_t>(geo.Origin)) return;
        const TByteSourcePtr slice =
            MakeSliceByteSource(borrowed, static_cast<uint64_t>(geo.Origin), size - static_cast<uint64_t>(geo.Origin), src.Name());
        TNtfsVolume vol;
        vol.Source = slice.get();
        vol.Geo = {512, static_cast<int32_t>(geo.ClusterSize), static_cast<int32_t>(best_->RecordSize),
                   best_->Runs[0].Lcn, static_cast<int64_t>(slice->Size() / static_cast<uint64_t>(geo.ClusterSize))};
        vol.MftDataSize = best_->DataSize;
        vol.MftRuns = best_->Runs;
        TNtfsClusterBitmap bitmap;
        if (!LoadClusterBitmap(vol, bitmap)) {
            report_.Log("The earlier $Bitmap could not be read: file conditions stay Unknown.");
            return;
        }
        TNtfsClusterBitmap owned;  // every cluster free: what a live file's own clusters are to it
        owned.Loaded = true;
        std::vector<uint8_t> rec;
        int64_t lastPos = -1;
        TNtfsRecordFacts facts;
        for (TSweptFile& s : files_) {
            if (s.Pos != lastPos) {
                lastPos = s.Pos;
                facts = {};
                if (!ReadSourceBytes(src, s.Pos, s.RecordSize, rec) || ApplyFixups(rec) != TNtfsFixups::Ok) continue;
                facts = AnalyzeMftRecord(rec, s.InUse ? owned : bitmap, in_.Translate, true);
            }
            if (s.Stream.empty()) {
                if (facts.HasData) s.Condition = facts.Condition;
                continue;
            }
            for (const TNtfsStreamFacts& st : facts.Streams)
                if (st.Id == s.StreamId) s.Condition = st.Condition;
        }
    }

    template <typename AddressFn>
    void BuildResults(TNtfsSweepResult& out, AddressFn address) {
        const bool cleanup = in_.Cleanup;
        for (const TSweptFile& s : files_) {
            if (!MatchesAnyMask(s.Name, in_.Masks)) {
                ++out.HiddenByMasks;
                continue;
            }
            TFoundFile f;
            const std::string folder = BuildSweptFolder(s.ParentRef, swept_, in_.Live);
            f.FullPath = folder.empty() ? s.Name : folder + "/" + s.Name;
            f.Inode = address(s);
            if (!s.Stream.empty()) f.FullPath += ":" + s.Stream;
            if (cleanup && (IsNoiseFileName(s.Name, s.Size) || IsNoisePath(f.FullPath, s.Size) ||
                            (!s.Stream.empty() && s.Stream == "Zone.Identifier"))) {
                ++out.HiddenByCleanup;
                continue;
            }
            // After a format every record in free space is lost; without a boot sector
            // the volume's own live files are found too.
            f.IsDeleted = !(bootless_ && s.InUse);
            f.FileType = "-/rrwxrwxrwx";
            f.SizeBytes = s.Size;
            f.ModDateUtc = s.ModDateUtc;
            f.HasModDate = s.HasModDate;
            f.CreateDateUtc = s.CreateDateUtc;
            f.HasCreateDate = s.HasCreateDate;
            f.DamageText = s.Condition.Text;
            f.DamageScore = s.Condition.Score;
            f.FoundBy = TFoundBy::DeepSweep;
            out.Found.push_back(std::move(f));
        }
    }

    const TNtfsSweepInput& in_;
    TReaderReport& report_;
    const bool bootless_;
    int64_t minRecord_ = 0, maxRecord_ = 0, step_ = 0;
    std::string progressText_;
    std::vector<uint8_t> block_;
    std::vector<uint64_t> startClusters_;
    std::vector<uint8_t> rec_;
    TNtfsFileNameInfo name_;
    TNtfsNodeMap swept_;
    std::vector<TSweptFile> files_;
    std::unordered_set<size_t> seen_;
    std::vector<TMftCopy> mftCopies_;
    const TMftCopy* best_ = nullptr;
    std::vector<int64_t> mirrorClusters_, indexClusters_;
    uint64_t lastTick_ = 0;
    const uint64_t startTick_ = GetTickCount64();
    int64_t freeBytes_ = 0, recordsFound_ = 0, torn_ = 0, foreign_ = 0, badHeader_ = 0, duplicates_ = 0,
            unreadable_ = 0;
};

} // namespace

std::string MakeSweptAddress(const TSweptAddress& a) {
    std::string s(1, kSweptAddressMark);
    s.append(std::to_string(a.Pos));
    if (a.StreamId) s.append("-128-").append(std::to_string(*a.StreamId));
    if (a.Bootless) {
        s.append("/").append(std::to_string(a.RecordSize));
        if (a.ClusterSize > 0)
            s.append("/").append(std::to_string(a.ClusterSize)).append("/").append(std::to_string(a.Origin));
    }
    return s;
}

std::optional<TSweptAddress> ParseSweptAddress(const std::string& inode) {
    TSweptAddress a;
    size_t pos = 0;
    uint64_t v = 0;
    if (inode.empty() || inode[pos++] != kSweptAddressMark || !ReadDecimalAt(inode, pos, INT64_MAX, a.Pos))
        return std::nullopt;
    if (pos < inode.size() && inode[pos] == '-') {
        ++pos;
        if (!ReadDecimalAt(inode, pos, UINT32_MAX, v) || v != kAttrData || pos >= inode.size() || inode[pos++] != '-' ||
            !ReadDecimalAt(inode, pos, UINT16_MAX, v))
            return std::nullopt;
        a.StreamId = static_cast<uint16_t>(v);
    }
    if (pos < inode.size() && inode[pos] == '/') {
        ++pos;
        a.Bootless = true;
        if (!ReadDecimalAt(inode, pos, kLargeRecord, v) || (v != kSmallRecord && v != kLargeRecord)) return std::nullopt;
        a.RecordSize = static_cast<int64_t>(v);
        if (pos < inode.size()) {
            if (inode[pos++] != '/' || !ReadDecimalAt(inode, pos, 2 * 1024 * 1024, v) || v < 512 || (v & (v - 1)) != 0)
                return std::nullopt;
            a.ClusterSize = static_cast<int64_t>(v);
            if (pos >= inode.size() || inode[pos++] != '/' || !ReadDecimalAt(inode, pos, INT64_MAX / 2, v))
                return std::nullopt;
            a.Origin = static_cast<int64_t>(v);
        }
    }
    if (pos != inode.size()) return std::nullopt;
    return a;
}

TNtfsSweepResult SweepNtfsFreeSpace(const TNtfsSweepInput& in, TReaderReport& report) {
    return TSweep(in, report, false).Run();
}

namespace {

// A sweep fed by another reading of the volume: it owns what it reads against, as the scan
// that made it has ended by the time it is fed.
class TNtfsSweepWatcher final : public TFreeSpaceWatcher {
public:
    // The free clusters of a volume that opens, against its bitmap and live records.
    TNtfsSweepWatcher(const TNtfsVolume& vol, TNtfsClusterBitmap bitmap, TNtfsNodeMap live, const TMaskList& masks,
                      bool cleanup, TTranslateFn translate, TReaderReport& report)
        : vol_(vol), bitmap_(std::move(bitmap)), live_(std::move(live)), masks_(masks),
          in_{vol_, bitmap_, live_, masks_, cleanup, std::move(translate)}, sweep_(in_, report, false),
          ready_(sweep_.BeginFree()) {}

    // The whole of a volume without a boot sector: no bitmap, no live records.
    TNtfsSweepWatcher(TByteSource& volume, const TMaskList& masks, bool cleanup, TReaderReport& report)
        : vol_{&volume, {}, 0, {}, TNtfsBootCopy::None}, masks_(masks),
          in_{vol_, bitmap_, live_, masks_, cleanup, [&report](const std::string& s) { return report.Translate(s); }},
          sweep_(in_, report, true), bootless_(true) {
        sweep_.BeginBootless();
    }

    void Search(uint64_t at, std::span<const uint8_t> bytes, uint64_t starts) override {
        if (ready_) sweep_.SearchGiven(at, bytes, starts);
    }

    TReaderResult Finish() override {
        TNtfsSweepResult s = Result(nullptr);
        TReaderResult r;
        r.Found = std::move(s.Found);
        r.HiddenByMasks = s.HiddenByMasks;
        r.HiddenByCleanup = s.HiddenByCleanup;
        r.KnownStarts = std::move(s.KnownStarts);
        return r;
    }

    void ReadWholeVolume() { sweep_.SweepWhole(); }

    TNtfsSweepResult Result(TNtfsBootlessGeometry* geometry) {
        if (bootless_) return sweep_.FinishBootless(geometry);
        return ready_ ? sweep_.FinishFree() : TNtfsSweepResult{};
    }

private:
    const TNtfsVolume vol_;
    const TNtfsClusterBitmap bitmap_;
    const TNtfsNodeMap live_;
    const TMaskList masks_;
    const TNtfsSweepInput in_;
    TSweep sweep_;
    const bool ready_ = true;
    const bool bootless_ = false;
};

} // namespace

std::shared_ptr<TFreeSpaceWatcher> MakeNtfsSweepWatcher(const TNtfsVolume& vol, TNtfsClusterBitmap bitmap,
                                                        TNtfsNodeMap live, const TMaskList& masks, bool cleanup,
                                                        TTranslateFn translate, TReaderReport& report) {
    return std::make_shared<TNtfsSweepWatcher>(vol, std::move(bitmap), std::move(live), masks, cleanup,
                                               std::move(translate), report);
}

std::shared_ptr<TFreeSpaceWatcher> MakeNtfsLostRecordWatcher(TByteSource& volume, const TMaskList& masks, bool cleanup,
                                                             TReaderReport& report) {
    return std::make_shared<TNtfsSweepWatcher>(volume, masks, cleanup, report);
}

TNtfsSweepResult SweepNtfsWithoutBootSector(TByteSource& volume, const TMaskList& masks, bool cleanup,
                                            TReaderReport& report, TNtfsBootlessGeometry* geometry) {
    TNtfsSweepWatcher sweep(volume, masks, cleanup, report);
    sweep.ReadWholeVolume();
    return sweep.Result(geometry);
}

} // namespace brivo
