#include "ntfs/NtfsScan.h"
#include "ntfs/NtfsFreeSpace.h"

#include <cstring>
#include <deque>
#include <iterator>
#include <stdexcept>
#include <unordered_map>
#include <vector>

#include "core/ByteReaders.h"
#include "core/TextFormat.h"
#include "filters/Masks.h"
#include "filters/NoiseFilter.h"
#include "filters/Wildcard.h"
#include "core/NtfsBootSector.h"
#include "ntfs/NtfsCondition.h"
#include "ntfs/NtfsFileName.h"
#include "ntfs/NtfsFixups.h"
#include "ntfs/NtfsNodeMap.h"
#include "ntfs/NtfsRecordAnalysis.h"
#include "ntfs/NtfsRunList.h"
#include "ntfs/NtfsSweep.h"
#include "ntfs/NtfsVolume.h"
#include "platform/Ticks.h"

namespace brivo {

namespace {

constexpr const char* kFastScanPrefix = "$MFT Fast Scan/";
// Records are read in chunks of up to 8192; the chunk is also kept to 1 MiB, which
// reads as fast and keeps the buffer small beside the per-record data.
constexpr int64_t kChunkRecords = 8192;
constexpr int64_t kChunkBytesCap = 1024 * 1024;
constexpr uint64_t kProgressInterval = 150;  // ms

// The cleanup filter's folder test of a rebuilt path: its fragments all end in "/", so
// they can only match inside the folder part of a path whose file name has no "/", "\"
// or ":". A neutral file name stands in for the real one, which the record pass tested.
bool IsNoiseFolder(const std::string& folder) {
    return IsNoisePath(folder.empty() ? std::string("x.txt") : folder + "/x.txt", 1);
}

// A deleted file found in the record pass, before its path is known. Kept small: large
// volumes hold hundreds of thousands of them.
struct TCandidate {
    uint64_t Record;
    int64_t Size;
    TDateTime ModDateUtc;
    TDateTime CreateDateUtc;
    uint32_t ConditionText;  // index into the scan's table of condition texts
    int32_t Score;
    uint32_t Stream;  // 0: the unnamed stream; else 1 + index into the scan's named streams
    bool HasModDate;
    bool HasCreateDate;
};

// A named stream of a deleted file, listed as "name:stream" with the engine's address.
struct TStreamName {
    std::string Name;
    uint16_t Id;
};

// Windows marks every downloaded file with this stream (where it came from); it is never
// what a user lost.
bool IsNoiseStream(const std::string& name) { return name == "Zone.Identifier"; }

class TNtfsScan {
public:
    TNtfsScan(TByteSource& src, TReaderReport& report, const TReaderOptions& opts)
        : src_(src), report_(report), masks_(opts.Masks), cleanup_(opts.Cleanup && IsDefaultMaskList(opts.Masks)),
          deep_(opts.Deep), sweepLater_(opts.Deep && opts.FreeSpaceReadAfter) {}

    TReaderResult Run();

private:
    std::string Tr(const std::string& s) {
        auto it = translations_.find(s);
        if (it != translations_.end()) return it->second;
        return translations_.emplace(s, report_.Translate(s)).first->second;
    }
    bool Stop() const { return report_.StopRequested(); }
    // Progress at most every kProgressInterval ms.
    bool ProgressDue() {
        const uint64_t now = GetTickCount64();
        if (now - lastProgressTick_ <= kProgressInterval) return false;
        lastProgressTick_ = now;
        return true;
    }
    void Setup();
    void RecordPass();
    void ProcessMftRecord(uint64_t n, std::span<uint8_t> rec);
    void AddDeletedFileResult(uint64_t n, const std::string& name, NtfsBytes rec);
    void ProgressChecks();
    // keepNodes: the records stay for the sweep that runs after the scan.
    TFoundFiles PathStage(bool keepNodes);
    uint32_t InternCondition(const std::string& text);

    TByteSource& src_;
    TReaderReport& report_;
    const TMaskList& masks_;
    const bool cleanup_;
    // A deep scan: the free space and the deleted files' first clusters go back with the
    // results, for the content search that follows.
    const bool deep_;
    const bool sweepLater_;  // the content search reads the free space next: the sweep looks on
    std::vector<uint64_t> knownStarts_;
    std::unordered_map<std::string, std::string> translations_;
    TTranslateFn translate_ = [this](const std::string& s) { return Tr(s); };
    uint64_t lastProgressTick_ = 0;

    TNtfsVolume vol_;
    uint64_t recordCount_ = 0;
    // Record slots the source can hold at most: a damaged runlist whose runs overlap or
    // repeat cannot make the pass read more than that (plus one chunk).
    uint64_t maxRecords_ = UINT64_MAX;
    TNtfsClusterBitmap bitmap_;
    TNtfsNodeMap nodes_;
    std::deque<TCandidate> candidates_;  // grows without copying on large volumes
    std::vector<TStreamName> streams_;
    std::vector<std::string> conditionTexts_;
    std::unordered_map<std::string, uint32_t> conditionIndex_;
    TNtfsFileNameInfo fileName_;  // reused for every record

    int64_t records_ = 0;
    std::vector<std::string> deletedFolders_;  // met while building paths
    int64_t valid_ = 0, deletedFiles_ = 0, dirs_ = 0, maskRejected_ = 0, noiseRejected_ = 0, bad_ = 0;
};

void TNtfsScan::Setup() {
    if (cleanup_)
        report_.Log(
            "Default cleanup filter enabled: hiding zero-byte, system, temp, cache, build/package artifacts. "
            "Use a custom mask to see those files.");
    report_.Log("Fast Direct NTFS scan: reading $MFT directly; no ils pass.");

    LoadNtfsVolume(src_, vol_, translate_);
    if (vol_.BootCopy == TNtfsBootCopy::Backup)
        report_.Log("The NTFS boot sector is damaged; the volume is read with its backup from the last sector.");
    const TNtfsGeometry& g = vol_.Geo;
    recordCount_ = static_cast<uint64_t>(vol_.MftDataSize) / static_cast<uint64_t>(g.RecordSize);

    report_.Log(Format("Fast Direct NTFS geometry: bps=%d cluster=%d record=%d mft_records=%d runs=%d",
                          {g.BytesPerSector, g.BytesPerCluster, g.RecordSize, recordCount_, vol_.MftRuns.size()}));
    report_.Progress(0, recordCount_, Format(Tr("Scanning MFT: 0 / %d records..."), {recordCount_}));

    if (LoadClusterBitmap(vol_, bitmap_))
        report_.Log(Format("NTFS damage analysis enabled: loaded $Bitmap (%d bytes).", {bitmap_.Bits.size()}));
    else
        report_.Log("NTFS damage analysis unavailable: could not load $Bitmap; file condition will be Unknown.");

    // The node map holds one slot per named record; reserve for the records the source
    // can actually hold, never for what a corrupt $MFT size claims (beyond a few million
    // it grows as records are really found).
    uint64_t expect = recordCount_;
    if (src_.Size() != 0) {
        maxRecords_ = src_.Size() / static_cast<uint64_t>(g.RecordSize);
        expect = std::min(expect, maxRecords_);
    }
    nodes_.Reserve(static_cast<size_t>(std::min<uint64_t>(expect, uint64_t{1} << 22)));
}

void TNtfsScan::RecordPass() {
    const int64_t bpc = vol_.Geo.BytesPerCluster;
    const int64_t rs = vol_.Geo.RecordSize;
    int64_t chunkMax = std::min(kChunkRecords * rs, std::max(kChunkBytesCap, rs));
    chunkMax -= chunkMax % rs;
    std::vector<uint8_t> chunk;
    for (const TNtfsMftRun& run : vol_.MftRuns) {
        if (Stop()) return;
        if (run.Lcn <= 0 || run.Sparse) continue;
        // Runs that place records before the start of the stream or whose numbers overflow
        // come only from a damaged runlist; their records could not be numbered.
        int64_t pos = 0, left = 0, first = 0;
        if (run.Vcn < 0 || run.Clusters <= 0) continue;
        if (!MulInt64(run.Lcn, bpc, pos) || !MulInt64(run.Vcn, bpc, first)) { ++bad_; continue; }
        if (!MulInt64(run.Clusters, bpc, left)) left = INT64_MAX;
        uint64_t n = static_cast<uint64_t>(first / rs);
        while (left >= rs && n < recordCount_) {
            if (Stop()) return;
            if (maxRecords_ != UINT64_MAX && static_cast<uint64_t>(records_) > maxRecords_ + kChunkRecords) return;
            int64_t len = std::min(left, chunkMax);
            len -= len % rs;
            if (len <= 0) break;
            if (chunk.size() < static_cast<size_t>(len)) {
                // Sized only once the source is known to hold the range.
                if (src_.Size() != 0 && (pos < 0 || static_cast<uint64_t>(pos) >= src_.Size() ||
                                                static_cast<uint64_t>(len) > src_.Size() - static_cast<uint64_t>(pos))) {
                    ++bad_;
                    break;
                }
                chunk.resize(static_cast<size_t>(len));
            }
            const std::span<uint8_t> data(chunk.data(), static_cast<size_t>(len));
            if (!ReadSourceInto(src_, pos, data)) {
                ++bad_;
                break;
            }
            for (int64_t off = 0; off < len; off += rs) {
                if (Stop()) return;
                ProcessMftRecord(n, data.subspan(static_cast<size_t>(off), static_cast<size_t>(rs)));
                ++n;
                ProgressChecks();
            }
            pos += len;
            left -= len;
        }
    }
}

void TNtfsScan::ProgressChecks() {
    if ((records_ & 0x1FFF) == 0) {
        if (ProgressDue()) {
            report_.Progress(static_cast<uint64_t>(records_), recordCount_,
                         Format(Tr("Scanning MFT: %d / %d records, found %d useful deleted files..."),
                                {records_, recordCount_, deletedFiles_}));
        }
    }
    if ((records_ & 0x3FFFF) == 0)
        report_.Log(Format("Fast Direct NTFS progress: records=%d deleted_files=%d noise_rejected=%d",
                              {records_, deletedFiles_, noiseRejected_}));
}

void TNtfsScan::ProcessMftRecord(uint64_t n, std::span<uint8_t> rec) {
    ++records_;
    if (rec.size() < 4 || std::memcmp(rec.data(), "FILE", 4) != 0) return;
    if (ApplyFixups(rec) != TNtfsFixups::Ok) {
        ++bad_;
        return;
    }
    const NtfsBytes r(rec.data(), rec.size());
    if (!ParseMftFileName(r, fileName_)) return;
    const uint16_t flags = ReadLe16(r, 22);
    const bool inUse = (flags & kMftFlagInUse) != 0;
    nodes_.Add(n, fileName_.ParentRef, ReadLe16(r, 16), fileName_.Name, fileName_.IsDir, inUse);
    ++valid_;
    if (flags & kMftFlagDirectory) ++dirs_;
    else if (!inUse) AddDeletedFileResult(n, fileName_.Name, r);
}

uint32_t TNtfsScan::InternCondition(const std::string& text) {
    auto it = conditionIndex_.find(text);
    if (it != conditionIndex_.end()) return it->second;
    const auto idx = static_cast<uint32_t>(conditionTexts_.size());
    conditionTexts_.push_back(text);
    conditionIndex_.emplace(text, idx);
    return idx;
}

void TNtfsScan::AddDeletedFileResult(uint64_t n, const std::string& name, NtfsBytes rec) {
    if (!MatchesAnyMask(name, masks_)) {
        ++maskRejected_;
        return;
    }
    const TNtfsRecordFacts f = AnalyzeMftRecord(rec, bitmap_, translate_, true);
    if (deep_ && f.FirstLcn > 0)
        knownStarts_.push_back(static_cast<uint64_t>(f.FirstLcn) * static_cast<uint64_t>(vol_.Geo.BytesPerCluster));
    const TDateTime mod = f.HasModDate ? f.ModDateUtc : 0.0;
    const TDateTime created = f.HasCreateDate ? f.CreateDateUtc : 0.0;
    if (cleanup_ && IsNoiseFileName(name, f.Size)) {
        ++noiseRejected_;
    } else {
        candidates_.push_back({n, f.Size, mod, created, InternCondition(f.Condition.Text), f.Condition.Score, 0,
                               f.HasModDate, f.HasCreateDate});
        ++deletedFiles_;
    }
    // A file's named streams pass the masks with it; the cleanup filter judges each by the
    // file's name and the stream's own size.
    for (const TNtfsStreamFacts& s : f.Streams) {
        if (cleanup_ && (IsNoiseStream(s.Name) || IsNoiseFileName(name, s.Size))) {
            ++noiseRejected_;
            continue;
        }
        streams_.push_back({s.Name, s.Id});
        candidates_.push_back({n, s.Size, mod, created, InternCondition(s.Condition.Text), s.Condition.Score,
                               static_cast<uint32_t>(streams_.size()), f.HasModDate, f.HasCreateDate});
        ++deletedFiles_;
    }
}

TFoundFiles TNtfsScan::PathStage(bool keepNodes) {
    report_.Progress(recordCount_, recordCount_, Tr("Building paths and applying cleanup filters..."));
    TFoundFiles kept;
    const size_t count = candidates_.size();
    kept.reserve(count);
    // Files of one folder share its path and its verdict of the cleanup filter's folder
    // test: remember both per folder reference.
    struct TFolder {
        std::string Path;
        bool Noise = false;
    };
    std::unordered_map<uint64_t, TFolder> folders;
    const std::string buildingTmpl = Tr("Building result paths: %d / %d...");
    TNtfsMftNode node;
    // Candidates are consumed as their results are made, so their memory goes back while
    // the results grow.
    // A stop during the record pass still gets the paths of what was read: they come from
    // memory, and the user keeps every file found so far.
    for (size_t i = 0; i < count; ++i) {
        const TCandidate c = candidates_.front();
        candidates_.pop_front();
        TFoundFile f;
        const TStreamName* stream = c.Stream ? &streams_[c.Stream - 1] : nullptr;
        f.Inode = std::to_string(c.Record);
        if (stream) f.Inode += "-128-" + std::to_string(stream->Id);
        f.IsDeleted = true;
        f.FileType = "-/rrwxrwxrwx";
        f.IsDir = false;
        f.SizeBytes = c.Size;
        f.ModDateUtc = c.ModDateUtc;
        f.HasModDate = c.HasModDate;
        f.CreateDateUtc = c.CreateDateUtc;
        f.HasCreateDate = c.HasCreateDate;
        f.DamageText = conditionTexts_[c.ConditionText];
        f.DamageScore = c.Score;
        bool folderNoise = false;
        bool plainName = false;
        if (nodes_.Find(c.Record, node)) {
            plainName = node.Name.find_first_of("\\:") == std::string_view::npos;
            const uint64_t parentRef = MakeMftReference(node.Parent, node.ParentSeq);
            auto it = folders.find(parentRef);
            if (it == folders.end()) {
                if (folders.size() >= 65536) folders.clear();
                TFolder folder{BuildMftPath(parentRef, nodes_, &deletedFolders_)};
                if (cleanup_) folder.Noise = IsNoiseFolder(folder.Path);
                it = folders.emplace(parentRef, std::move(folder)).first;
            }
            const std::string& p = it->second.Path;
            folderNoise = it->second.Noise;
            f.FullPath.reserve(p.size() + 1 + node.Name.size());
            if (!p.empty()) {
                f.FullPath = p;
                f.FullPath.push_back('/');
            }
            f.FullPath.append(node.Name);
        } else {
            f.FullPath = kFastScanPrefix;
        }
        if (stream) {
            plainName = false;
            f.FullPath.push_back(':');
            f.FullPath.append(stream->Name);
        }
        // The name alone already passed the cleanup filter in the record pass; for a plain
        // name only the folder test remains, and it was made once for the folder.
        if (cleanup_ && (plainName ? folderNoise : IsNoisePath(f.FullPath, f.SizeBytes))) {
            ++noiseRejected_;
            continue;
        }
        kept.push_back(std::move(f));
        if (i % 5000 == 0) {
            if (ProgressDue()) {
                report_.Progress(i, std::max<uint64_t>(count, 1), Format(buildingTmpl, {i, count}));
            }
        }
    }
    // The per-record data is no longer needed once every path is built.
    if (!keepNodes) nodes_.Clear();
    std::deque<TCandidate>().swap(candidates_);
    std::vector<TStreamName>().swap(streams_);
    kept.shrink_to_fit();
    return kept;
}

TReaderResult TNtfsScan::Run() {
    Setup();
    RecordPass();
    // The sweep names its files through the live records too, so it runs before the path
    // stage lets go of them.
    TNtfsSweepResult swept;
    const bool watch = sweepLater_ && bitmap_.Loaded && !Stop();
    if (deep_ && !watch && !Stop()) {
        report_.Log("NTFS deep scan: sweeping free clusters for FILE records of an earlier $MFT.");
        swept = SweepNtfsFreeSpace({vol_, bitmap_, nodes_, masks_, cleanup_, translate_}, report_);
    }
    TReaderResult result;
    result.Found = PathStage(watch);
    result.Found.insert(result.Found.end(), std::make_move_iterator(swept.Found.begin()),
                        std::make_move_iterator(swept.Found.end()));
    report_.Progress(recordCount_, recordCount_, Tr("Fast NTFS scan finished. Preparing results..."));
    const char* tmpl = Stop() ? "Fast Direct NTFS scan stopped by user: records=%d valid=%d deleted_files=%d dirs=%d "
                                "mask_rejected=%d noise_rejected=%d bad=%d"
                              : "Fast Direct NTFS scan complete: records=%d valid=%d deleted_files=%d dirs=%d "
                                "mask_rejected=%d noise_rejected=%d bad=%d";
    report_.Log(Format(tmpl, {records_, valid_, deletedFiles_, dirs_, maskRejected_, noiseRejected_, bad_}));
    result.DeletedFolders = std::move(deletedFolders_);
    result.HiddenByMasks = static_cast<uint64_t>(maskRejected_) + swept.HiddenByMasks;
    result.HiddenByCleanup = static_cast<uint64_t>(noiseRejected_) + swept.HiddenByCleanup;
    if (deep_ && bitmap_.Loaded) {
        result.FreeAreas = NtfsFreeAreas(bitmap_, static_cast<uint64_t>(vol_.Geo.BytesPerCluster), src_.Size());
        result.FreeAreasKnown = true;
        result.KnownStarts = std::move(knownStarts_);
        result.KnownStarts.insert(result.KnownStarts.end(), swept.KnownStarts.begin(), swept.KnownStarts.end());
    }
    if (watch) {
        // The content search reads the same free clusters next; the sweep looks at them then,
        // so a large volume's free space is read once.
        report_.Log("NTFS deep scan: free clusters are swept for FILE records of an earlier $MFT as the content "
                    "search reads them.");
        // It outlives this scan: its texts are translated through the report, remembered
        // as here.
        auto memo = std::make_shared<std::unordered_map<std::string, std::string>>();
        TTranslateFn translate = [memo, report = &report_](const std::string& s) {
            auto it = memo->find(s);
            if (it != memo->end()) return it->second;
            return memo->emplace(s, report->Translate(s)).first->second;
        };
        result.Watcher = MakeNtfsSweepWatcher(vol_, std::move(bitmap_), std::move(nodes_), masks_, cleanup_,
                                              std::move(translate), report_);
    }
    return result;
}

} // namespace

TReaderResult FastScanNtfsDirect(TByteSource& src, TReaderReport& report, const TReaderOptions& opts) {
    return TNtfsScan(src, report, opts).Run();
}

} // namespace brivo
