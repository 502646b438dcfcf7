#include "ntfs/NtfsSweep.h"

#include <algorithm>
#include <cstring>
#include <functional>
#include <unordered_set>
#include <vector>

#include "core/ByteReaders.h"
#include "core/TextFormat.h"
#include "filters/NoiseFilter.h"
#include "filters/Wildcard.h"
#include "ntfs/NtfsFileName.h"
#include "ntfs/NtfsFixups.h"
#include "ntfs/NtfsFreeSpace.h"
#include "ntfs/NtfsRecordAnalysis.h"
#include "platform/Ticks.h"

namespace brivo {

namespace {

// Free space is read in blocks this large: big sequential reads keep the sweep at the
// source's streaming speed.
constexpr int64_t kSweepBlock = 8 * 1024 * 1024;
constexpr uint64_t kProgressInterval = 150;  // ms

// A swept file before its path is known.
struct TSweptFile {
    int64_t Pos;
    uint64_t ParentRef;
    std::string Name;
    int64_t Size;
    TDateTime ModDateUtc;
    bool HasModDate;
    TNtfsCondition Condition;
    std::string Stream;  // empty: the unnamed stream
    uint16_t StreamId;
};

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

class TSweep {
public:
    TSweep(const TNtfsSweepInput& in, TReaderReport& report) : in_(in), report_(report) {}

    TNtfsSweepResult Run() {
        TNtfsSweepResult out;
        const TNtfsGeometry& g = in_.Vol.Geo;
        if (!in_.Bitmap.Loaded || !in_.Vol.Source || g.BytesPerCluster <= 0 || g.RecordSize <= 0) {
            report_.Log("NTFS record sweep skipped: no cluster bitmap tells which clusters are free.");
            return out;
        }
        clusters_ = static_cast<int64_t>(in_.Bitmap.Bits.size()) * 8;
        if (g.ClusterCount > 0) clusters_ = std::min(clusters_, g.ClusterCount);
        const uint64_t srcSize = in_.Vol.Source->Size();
        if (srcSize != 0) clusters_ = std::min<int64_t>(clusters_, static_cast<int64_t>(srcSize / g.BytesPerCluster));
        clusters_ = std::min<int64_t>(clusters_, INT64_MAX / g.BytesPerCluster);
        const uint64_t bpc = static_cast<uint64_t>(g.BytesPerCluster);
        for (const TByteExtent& run : NtfsFreeAreas(in_.Bitmap, bpc, static_cast<uint64_t>(clusters_) * bpc)) {
            if (report_.StopRequested()) break;
            SweepRange(static_cast<int64_t>(run.Offset), static_cast<int64_t>(run.Length));
        }
        report_.Log(Format("NTFS record sweep: free_bytes=%d records=%d torn=%d foreign=%d bad_header=%d "
                           "duplicates=%d unreadable=%d",
                           {freeBytes_, recordsFound_, torn_, foreign_, badHeader_, duplicates_, unreadable_}));
        BuildResults(out);
        return out;
    }

private:
    void SweepRange(int64_t pos, int64_t len) {
        const int64_t rs = in_.Vol.Geo.RecordSize;
        const int64_t step = std::min<int64_t>(rs, in_.Vol.Geo.BytesPerCluster);
        freeBytes_ += len;
        const int64_t end = pos + len;
        while (end - pos >= rs) {
            if (report_.StopRequested()) return;
            const int64_t n = std::min(kSweepBlock, end - pos);
            if (block_.size() < static_cast<size_t>(n)) block_.resize(static_cast<size_t>(n));
            const std::span<uint8_t> data(block_.data(), static_cast<size_t>(n));
            if (!ReadSourceInto(*in_.Vol.Source, pos, data)) {
                // One unreadable block costs only its own records.
                ++unreadable_;
                pos += std::max(n - rs + step, step);
                continue;
            }
            int64_t off = 0;
            for (; off + rs <= n; off += step)
                if (std::memcmp(data.data() + off, "FILE", 4) == 0) Candidate(pos + off, data.subspan(static_cast<size_t>(off), static_cast<size_t>(rs)));
            // A record cut by the block's end is read again at the start of the next one.
            pos += (n == end - pos) ? n : off;
            Progress();
        }
    }

    void Progress() {
        const uint64_t now = GetTickCount64();
        if (now - lastTick_ <= kProgressInterval) return;
        lastTick_ = now;
        report_.Progress(0, 1, Format(Tr("Deep scan: sweeping free space for lost records, %d MiB read, %d records found..."),
                                      {freeBytes_ / (1024 * 1024), recordsFound_}));
    }

    std::string Tr(const std::string& s) { return in_.Translate ? in_.Translate(s) : s; }

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
        // Records without a number cannot be anyone's parent; they get a number no
        // reference holds, so they stay apart in the map.
        const uint64_t key = number != kSweptNoNumber ? number : (uint64_t{1} << 48) + static_cast<uint64_t>(pos);
        if (name_.IsDir || (flags & kMftFlagDirectory)) {
            swept_.Add(key, name_.ParentRef, seq, name_.Name, true, (flags & kMftFlagInUse) != 0);
            return;
        }
        const TNtfsRecordFacts f = AnalyzeMftRecord(r, in_.Bitmap, in_.Translate, true);
        if (!f.HasData) return;
        if (f.FirstLcn > 0) knownStarts_.push_back(static_cast<uint64_t>(f.FirstLcn) * static_cast<uint64_t>(in_.Vol.Geo.BytesPerCluster));
        files_.push_back({pos, name_.ParentRef, name_.Name, f.Size, f.ModDateUtc, f.HasModDate, f.Condition, {}, 0});
        for (const TNtfsStreamFacts& s : f.Streams)
            files_.push_back({pos, name_.ParentRef, name_.Name, s.Size, f.ModDateUtc, f.HasModDate, s.Condition, s.Name, s.Id});
    }

    void BuildResults(TNtfsSweepResult& out) {
        out.KnownStarts = std::move(knownStarts_);
        const bool cleanup = in_.Cleanup;
        for (const TSweptFile& s : files_) {
            if (!MatchesAnyMask(s.Name, in_.Masks)) {
                ++out.HiddenByMasks;
                continue;
            }
            TFoundFile f;
            const std::string folder = BuildSweptFolder(s.ParentRef, swept_, in_.Live);
            f.FullPath = folder.empty() ? s.Name : folder + "/" + s.Name;
            f.Inode = kSweptAddressMark + std::to_string(s.Pos);
            if (!s.Stream.empty()) {
                f.FullPath += ":" + s.Stream;
                f.Inode += "-128-" + std::to_string(s.StreamId);
            }
            if (cleanup && (IsNoiseFileName(s.Name, s.Size) || IsNoisePath(f.FullPath, s.Size) ||
                            (!s.Stream.empty() && s.Stream == "Zone.Identifier"))) {
                ++out.HiddenByCleanup;
                continue;
            }
            f.IsDeleted = true;
            f.FileType = "-/rrwxrwxrwx";
            f.SizeBytes = s.Size;
            f.ModDateUtc = s.ModDateUtc;
            f.HasModDate = s.HasModDate;
            f.DamageText = s.Condition.Text;
            f.DamageScore = s.Condition.Score;
            f.FoundBy = TFoundBy::DeepSweep;
            out.Found.push_back(std::move(f));
        }
    }

    const TNtfsSweepInput& in_;
    TReaderReport& report_;
    int64_t clusters_ = 0;
    std::vector<uint8_t> block_;
    std::vector<uint64_t> knownStarts_;
    std::vector<uint8_t> rec_;
    TNtfsFileNameInfo name_;
    TNtfsNodeMap swept_;
    std::vector<TSweptFile> files_;
    std::unordered_set<size_t> seen_;
    uint64_t lastTick_ = 0;
    int64_t freeBytes_ = 0, recordsFound_ = 0, torn_ = 0, foreign_ = 0, badHeader_ = 0, duplicates_ = 0,
            unreadable_ = 0;
};

} // namespace

TNtfsSweepResult SweepNtfsFreeSpace(const TNtfsSweepInput& in, TReaderReport& report) {
    return TSweep(in, report).Run();
}

} // namespace brivo
