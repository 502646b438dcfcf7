#include "ext/ExtScan.h"

#include <algorithm>
#include <climits>

#include "core/ClusterCondition.h"
#include "core/DateConvert.h"
#include "core/TextFormat.h"
#include "ext/ExtFreeSpace.h"
#include "ext/ExtJournalScan.h"
#include "filters/Masks.h"
#include "filters/SyntheticPath.h"
#include "filters/Wildcard.h"
#include "platform/Ticks.h"

namespace brivo {

namespace {

constexpr uint64_t kProgressIntervalMs = 250;

// A name as a path part: no separators, never "." or "..".
std::string SafeName(const std::string& name) {
    std::string s = name;
    for (char& c : s)
        if (c == '/' || c == '\\' || c == '\0') c = '_';
    if (s == "." || s == "..") s = "_" + s;
    return s;
}

TDateTime ToDateTime(const TExtTime& t) { return UnixToUtc(t.Seconds) + t.Nanos / 1e9 / 86400.0; }

} // namespace

std::optional<std::vector<TByteExtent>> ExtByteExtents(const TExtFileMap& map, uint64_t size, uint32_t blockSize) {
    std::vector<TByteExtent> out;
    if (!map.Complete) return std::nullopt;
    uint64_t next = 0, covered = 0;
    for (const TExtRun& r : map.Runs) {
        if (covered >= size) break;
        if (r.Unwritten || r.Logical != next) return std::nullopt;
        const uint64_t bytes = std::min<uint64_t>(r.Count * blockSize, size - covered);
        AddFreeRun(out, r.Physical * blockSize, bytes);
        covered += bytes;
        next = r.Logical + r.Count;
    }
    if (covered < size) return std::nullopt;
    return out;
}

TExtScanner::TExtScanner(TExtVolume& vol, TReaderReport& report, TReaderOptions options, TExtInodeHistory history)
    : vol_(vol), report_(report), options_(std::move(options)), history_(std::move(history)),
      emptyIsNoise_(IsDefaultMaskList(options_.Masks)) {
    dirOptions_.FileType = vol_.Super().HasIncompat(ext_feature::kFiletype);
    dirOptions_.InodesCount = vol_.Super().InodesCount;
}

void TExtScanner::Progress(const std::string& text, uint64_t pos, uint64_t max) {
    const uint64_t now = GetTickCount64();
    if (now - lastProgress_ < kProgressIntervalMs) return;
    lastProgress_ = now;
    report_.Progress(pos, max, text);
}

TReaderResult TExtScanner::Run() {
    if (!options_.Masks.empty()) ValidateMasks(options_.Masks);
    report_.Progress(0, 0, report_.Translate("Scanning ext directories..."));
    pending_.push_back({"", kExtRootInode, false, 0});
    while (!pending_.empty() && !report_.StopRequested()) {
        TDirToWalk d = std::move(pending_.back());
        pending_.pop_back();
        Walk(d);
    }
    if (!report_.StopRequested()) OrphanInodes();
    if (vol_.ChecksumFailures() != 0 || vol_.BadDescriptors() != 0)
        report_.Log("ext metadata checksums that did not match: " + std::to_string(vol_.ChecksumFailures()) +
                    " inodes, " + std::to_string(vol_.BadDescriptors()) + " group descriptors");
    report_.Log("Fast ext scan complete: found=" + std::to_string(result_.Found.size()));
    return std::move(result_);
}

bool TExtScanner::ReadDirectory(const TExtInode& inode, bool deleted, std::vector<std::pair<std::vector<uint8_t>, bool>>& blocks) {
    // Inline folders: the parent's number, then entries in the rest of i_block and in the
    // system.data attribute; handed over as two pieces.
    if (inode.HasInlineData()) {
        std::vector<uint8_t> raw;
        if (!vol_.ReadRawInode(inode.Number, raw)) return false;
        const std::vector<uint8_t> data = ExtInlineData(raw, inode);
        if (data.size() > 4) blocks.emplace_back(std::vector<uint8_t>(data.begin() + 4, data.begin() + std::min<size_t>(data.size(), 60)), true);
        if (data.size() > 60) blocks.emplace_back(std::vector<uint8_t>(data.begin() + 60, data.end()), true);
        return true;
    }
    const TExtFileMap map = vol_.FileMap(inode);
    if (!map.Complete && report_.DebugEnabled())
        report_.DebugLog("ext folder map incomplete: inode=" + std::to_string(inode.Number) + " why=" + map.Problem);
    const uint32_t bs = vol_.BlockSize();
    uint64_t read = 0;
    for (const TExtRun& r : map.Runs) {
        if (r.Unwritten) continue;
        for (uint64_t i = 0; i < r.Count && read < kExtMaxDirBytes; ++i, read += bs) {
            // A deleted folder's block given to another file since holds that file's bytes.
            if (deleted && vol_.IsBlockAllocated(r.Physical + i)) continue;
            std::vector<uint8_t> block(bs);
            if (!vol_.ReadBlock(r.Physical + i, block)) continue;
            blocks.emplace_back(std::move(block), false);
        }
    }
    return true;
}

void TExtScanner::Walk(const TDirToWalk& d) {
    if (d.Depth > kExtMaxDepth || !walkedDirs_.insert(d.Inode).second) return;
    std::vector<uint8_t> raw;
    const auto inode = vol_.ReadInode(d.Inode, &raw);
    if (!inode || !inode->IsDir()) return;
    std::vector<std::pair<std::vector<uint8_t>, bool>> blocks;
    if (!ReadDirectory(*inode, d.Deleted, blocks)) return;
    ++dirsWalked_;
    bool first = true;
    for (const auto& [block, inlinePiece] : blocks) {
        if (report_.StopRequested()) return;
        TExtDirBlock b = DecodeExtDirBlock(block, dirOptions_);
        // A deleted folder's first block must still be its own.
        if (d.Deleted && first && !inlinePiece) {
            uint32_t self = 0;
            if (!LooksLikeExtDirStart(block, dirOptions_, &self) || self != d.Inode) return;
        }
        first = false;
        for (const TExtDirEntry& e : b.Entries) {
            if (e.Name == "." || e.Name == "..") continue;
            const std::string path = d.Path + "/" + SafeName(e.Name);
            if (e.Deleted || d.Deleted) {
                DeletedEntry(d.Path, e, d.Depth);
            } else if (e.Type == static_cast<uint8_t>(TExtFileType::Dir) || (!dirOptions_.FileType && e.Inode != 0)) {
                if (!dirOptions_.FileType) {
                    // Without file types in entries the inode says what it is.
                    const auto child = vol_.ReadInode(e.Inode);
                    if (!child || !child->IsDir()) continue;
                }
                pending_.push_back({path, e.Inode, false, d.Depth + 1});
            }
        }
    }
    Progress(Format(report_.Translate("Scanning ext directories... found %d files"), {static_cast<int64_t>(result_.Found.size())}));
}

void TExtScanner::DeletedEntry(const std::string& parent, const TExtDirEntry& e, int depth) {
    const std::string path = parent + "/" + SafeName(e.Name);
    const auto skip = [&](const char* why) {
        if (report_.DebugEnabled())
            report_.DebugLog("ext skip deleted entry: path=\"" + path + "\" inode=" + std::to_string(e.Inode) + " reason=" + why);
    };
    if (e.Inode == 0 || e.Inode > vol_.Super().InodesCount) return skip("no inode");
    if (e.Inode < vol_.Super().FirstInode && e.Inode != kExtRootInode) return skip("reserved inode");
    // A name whose inode is in use again (or was renamed, and the old name is the gap)
    // names someone else's content.
    if (vol_.IsInodeAllocated(e.Inode)) return skip("inode in use");
    if (vol_.InodeSlotUninit(e.Inode)) return skip("inode table never written");
    std::vector<uint8_t> raw;
    const auto inode = vol_.ReadInode(e.Inode, &raw);
    if (!inode) return skip("inode unreadable");
    const uint8_t type = static_cast<uint8_t>(inode->Type());
    if (dirOptions_.FileType && e.Type != 0 && inode->Mode != 0 && type != e.Type) return skip("inode of another type");
    const bool isDir = e.Type == static_cast<uint8_t>(TExtFileType::Dir) || (e.Type == 0 && inode->IsDir());
    if (isDir) {
        result_.DeletedFolders.push_back(path);
        if (inode->IsDir() && inode->Size != 0) pending_.push_back({path, e.Inode, true, depth + 1});
        return;
    }
    if (!seenInodes_.insert(e.Inode).second) return skip("listed already");
    if (inode->Mode != 0 && !inode->IsRegular()) return skip("not a regular file");

    TExtInode use = *inode;
    bool fromHistory = false;
    TExtFileMap map;
    if (inode->IsRegular() && inode->Size != 0) map = vol_.FileMap(*inode);
    if ((map.Runs.empty() || inode->Size == 0) && history_) {
        if (auto old = history_(e.Inode); old && old->IsRegular() && old->Size != 0 &&
                                           (inode->Mode == 0 || old->Generation == inode->Generation)) {
            use = *old;
            map = vol_.FileMap(use);
            fromHistory = true;
        }
    }
    AddResult(path, use, map, fromHistory);
}

bool TExtScanner::Hidden(const std::string& path, uint64_t size) {
    if (options_.Cleanup && ((size == 0 && emptyIsNoise_) || IsSyntheticPath(path, TScanWhere::swDisk))) {
        ++result_.HiddenByCleanup;
        return true;
    }
    if (!options_.Masks.empty() && !MatchesAnyMask(path, options_.Masks)) {
        ++result_.HiddenByMasks;
        return true;
    }
    return false;
}

bool TExtScanner::AddResult(const std::string& path, const TExtInode& inode, const TExtFileMap& map, bool fromHistory) {
    if (Hidden(path, inode.Size)) return false;
    TFoundFile f;
    f.Inode = std::to_string(inode.Number);
    f.FullPath = path;
    f.IsDeleted = true;
    f.FileType = "r/r";
    f.SizeBytes = static_cast<int64_t>(std::min<uint64_t>(inode.Size, INT64_MAX));
    if (inode.Mtime.Present && inode.Mtime.Seconds != 0) {
        f.HasModDate = true;
        f.ModDateUtc = ToDateTime(inode.Mtime);
    }
    if (inode.Crtime.Present && inode.Crtime.Seconds != 0) {
        f.HasCreateDate = true;
        f.CreateDateUtc = ToDateTime(inode.Crtime);
    }
    // The condition: how many of its blocks the bitmap hands out again.
    int64_t tested = 0, used = 0;
    bool sampled = false;
    for (const TExtRun& r : map.Runs) {
        if (r.Unwritten) continue;
        for (uint64_t i = 0; i < r.Count; ++i) {
            if (tested >= kConditionSampleClusters) { sampled = true; break; }
            ++tested;
            if (vol_.IsBlockAllocated(r.Physical + i)) ++used;
        }
    }
    const TClusterCondition c = ConditionFromReuse(tested, used, sampled, [this](const std::string& t) { return report_.Translate(t); });
    f.DamageText = c.Text;
    f.DamageScore = c.Score;
    if (fromHistory) {
        // The inode on the disk no longer knows where the content is: the result carries it.
        if (auto extents = ExtByteExtents(map, inode.Size, vol_.BlockSize())) f.Extents = std::move(*extents);
        else {
            f.DamageText = report_.Translate("Unknown");
            f.DamageScore = -1;
        }
    }
    if (options_.Deep && !map.Runs.empty()) {
        for (const TExtRun& r : map.Runs)
            if (!r.Unwritten) {
                result_.KnownStarts.push_back(r.Physical * vol_.BlockSize());
                break;
            }
    }
    result_.Found.push_back(std::move(f));
    return true;
}

void TExtScanner::OrphanInodes() {
    const TExtSuperblock& sb = vol_.Super();
    const uint32_t bs = vol_.BlockSize();
    const uint32_t perBlock = bs / sb.InodeSize;
    std::vector<uint8_t> block(bs);
    for (uint64_t g = 0; g < vol_.GroupCount() && !report_.StopRequested(); ++g) {
        const TExtGroupDesc& d = vol_.Groups()[g];
        if (d.InodeUninit() || d.InodeTable == 0) continue;
        const uint32_t used = d.ItableZeroed() || d.ItableUnused == 0 || d.ItableUnused > sb.InodesPerGroup
                                  ? sb.InodesPerGroup : sb.InodesPerGroup - d.ItableUnused;
        // Groups with every inode free and their table zeroed hold nothing.
        if (d.FreeInodes == sb.InodesPerGroup && d.ItableZeroed()) continue;
        for (uint32_t i = 0; i < used; i += perBlock) {
            if (!vol_.ReadBlock(d.InodeTable + i / perBlock, block)) continue;
            for (uint32_t k = 0; k < perBlock && i + k < used; ++k) {
                const uint32_t n = static_cast<uint32_t>(g * sb.InodesPerGroup + i + k + 1);
                if (n < sb.FirstInode || seenInodes_.count(n)) continue;
                const ByteSpan raw = ByteSpan(block).subspan(size_t{k} * sb.InodeSize, sb.InodeSize);
                // Cheap tests first: a regular file with a size, links gone.
                if ((ReadLe16(raw, 0) & 0xF000) != 0x8000 || ReadLe16(raw, 0x1A) != 0 ||
                    (ReadLe32(raw, 0x04) == 0 && ReadLe32(raw, 0x6C) == 0))
                    continue;
                if (vol_.IsInodeAllocated(n)) continue;
                const auto inode = DecodeExtInode(raw, sb, n);
                if (!inode || inode->HasInlineData()) continue;
                const TExtFileMap map = vol_.FileMap(*inode);
                if (map.Runs.empty()) continue;
                seenInodes_.insert(n);
                AddResult(std::string(kExtOrphanFolder) + "/OrphanFile-" + std::to_string(n), *inode, map, false);
            }
        }
        Progress(Format(report_.Translate("Scanning ext inodes... found %d files"), {static_cast<int64_t>(result_.Found.size())}),
                 g, vol_.GroupCount());
    }
}

TReaderResult FastScanExtDirect(TByteSource& src, TReaderReport& report, const TReaderOptions& opts) {
    TExtVolume vol(src);
    TReaderResult r;
    {
        TExtRecovered journal = ExtRecoverFromJournal(
            vol, opts.Deep, [&](const std::string& t) { return report.Translate(t); }, [&] { return report.StopRequested(); });
        TExtScanner scanner(vol, report, opts, ExtJournalHistory(journal));
        r = scanner.Run();
        AddExtJournalResults(std::move(journal), opts, report, r);
    }
    if (opts.Deep && !report.StopRequested()) {
        TExtFreeCounts counts;
        r.FreeAreas = ExtFreeAreas(vol, report, &counts);
        r.FreeAreasKnown = true;
        report.Log(Format("Free space: %d blocks of %d bytes", {counts.FreeBlocks, uint64_t{vol.BlockSize()}}));
        if (counts.UnwrittenMetadataBlocks)
            report.Log(Format("Free space: %d inode table and bitmap blocks never written since the format",
                              {counts.UnwrittenMetadataBlocks}));
        if (counts.IndirectBlocks)
            report.Log(Format("Free space: %d indirect blocks of deleted files left out, so their data reads as one",
                              {counts.IndirectBlocks}));
        if (counts.UnwrittenJournalBlocks)
            report.Log(Format("Free space: %d journal blocks never written since the format", {counts.UnwrittenJournalBlocks}));
    }
    return r;
}

} // namespace brivo
