#include "fat32/FatLostData.h"

#include "core/TextFormat.h"
#include "fat32/Fat32Walk.h"

namespace brivo {

namespace {

// The sweep's report: the scan's log, progress and Stop.
class TFatLogReport : public TReaderReport {
public:
    explicit TFatLogReport(TFat32Log& log) : log_(log) {}
    void Log(const std::string& msg) override { log_.SafeLog(msg); }
    void DebugLog(const std::string& line) override {
        if (log_.DebugEnabled()) log_.SafeLog(line);
    }
    void Progress(uint64_t position, uint64_t max, const std::string& text) override {
        log_.SafeProgress(position, max, text);
    }
    bool StopRequested() const override { return log_.StopRequested(); }
    std::string Translate(const std::string& text) override { return log_.Translate(text); }

private:
    TFat32Log& log_;
};

uint32_t ClusterOfOffset(const TFat32Volume& vol, int64_t off) {
    if (off < vol.DataOffset || vol.BytesPerCluster == 0) return 0;  // the root region of FAT12/16
    return static_cast<uint32_t>((off - vol.DataOffset) / vol.BytesPerCluster + 2);
}

TFatVolumeView MakeView(TFat32Volume& vol) {
    TFatVolumeView v;
    v.BytesPerCluster = vol.BytesPerCluster;
    v.BytesPerSector = vol.BytesPerSector;
    v.ClusterLimit = vol.ClusterLimit;
    v.RootCluster = vol.RootCluster;
    v.FatEntry = [&vol](uint32_t c) { return ReadFatEntry(vol, c); };
    v.ReadClusters = [&vol](uint32_t first, uint32_t count, uint8_t* out) {
        if (!vol.Source || !IsDataCluster(vol, first)) return false;
        const uint64_t n = uint64_t{count} * vol.BytesPerCluster;
        try {
            return vol.Source->ReadExact(static_cast<uint64_t>(ClusterToOffset(vol, first)), out, static_cast<size_t>(n));
        } catch (...) {
            return false;  // a failing source is an unreadable cluster, never an error of the scan
        }
    };
    v.ClusterOffset = [&vol](uint32_t c) { return ClusterToOffset(vol, c); };
    return v;
}

} // namespace

void NoteWalkedDir(TFat32ScanState& state, const std::string& path, const TFatDirData& dir, bool deleted) {
    const TFat32Volume& vol = state.Volume;
    if (vol.BytesPerCluster == 0) return;
    if (deleted) state.Result.DeletedFolders.push_back(path);
    TFatKnownDir d{path, {}, deleted};
    if (!deleted && !dir.PieceOffsets.empty())
        if (auto it = state.Lost.LiveOrigins.find(ClusterOfOffset(vol, dir.PieceOffsets[0])); it != state.Lost.LiveOrigins.end()) {
            d.ParentCluster = it->second.first;
            d.EntryStamp = it->second.second;
        }
    for (int64_t off : dir.PieceOffsets) {
        if (off < vol.DataOffset) return;  // the root region of FAT12/16 has no clusters
        d.Clusters.push_back(ClusterOfOffset(vol, off));
    }
    if (d.Clusters.empty()) return;
    // A deleted folder read from its first cluster alone that has no end marker went on
    // in clusters the walk cannot find.
    if (deleted && !state.Options.Deep && d.Clusters.size() == 1 && DirDataLacksEndMarker(dir.Data))
        state.Result.DeepMayFindMore = true;
    state.Lost.WalkedDirs.push_back(std::move(d));
}

void NoteLiveFolderOrigin(TFat32ScanState& state, const std::string& parentPath, const TFatDirData& parent,
                          uint32_t child, uint64_t entryStamp) {
    const uint32_t up = parentPath.empty() || parent.PieceOffsets.empty() ? 0 : ClusterOfOffset(state.Volume, parent.PieceOffsets[0]);
    state.Lost.LiveOrigins.emplace(child, std::make_pair(up, entryStamp));
}

void NoteUnreadFolder(TFat32ScanState& state, const std::string& path, uint32_t cluster, bool deleted) {
    if (deleted && IsDataCluster(state.Volume, cluster)) state.Lost.UnreadFolders.emplace(cluster, path);
}

void NoteDeletedEntry(TFat32ScanState& state, const TFatDirItem& item) {
    if (!item.IsDeleted || !IsDataCluster(state.Volume, item.StartCluster)) return;
    state.Lost.Deleted.push_back({FatMetaAddress(state, item.EntryOffset), item.StartCluster,
                                  static_cast<uint64_t>(std::max<int64_t>(0, item.SizeBytes)),
                                  (item.Attr & kAttrDirectory) != 0});
}

void FinishFatLostData(TFat32ScanState& state) {
    TFat32Volume& vol = state.Volume;
    const TFatVolumeView view = MakeView(vol);
    std::unordered_set<uint32_t> dirClusters(state.DirClusters.begin(), state.DirClusters.end());
    if (state.Options.Deep && !state.Log.StopRequested()) {
        TFatDeepInput input;
        input.KnownDirs = std::move(state.Lost.WalkedDirs);
        input.WalkClusters = dirClusters;
        input.UnreadFolders = std::move(state.Lost.UnreadFolders);
        TFatLogReport report(state.Log);
        const size_t before = state.Result.Found.size();
        TFatDeepResult deep = RunFatDeepSweep(view, input, report);
        for (const auto& e : deep.Entries) AddFatResult(state, e.ParentPath, e.Item, TFoundBy::DeepSweep);
        dirClusters.insert(deep.DirClusters.begin(), deep.DirClusters.end());
        state.Log.SafeLog("Deep FAT scan: " + std::to_string(deep.Stats.ClustersRead) + " free clusters read, " +
                          std::to_string(deep.Stats.FolderStarts) + " folder starts and " +
                          std::to_string(deep.Stats.Continuations) + " continuation clusters found (" +
                          std::to_string(deep.Stats.Joined) + " joined to their folder), " +
                          std::to_string(state.Result.Found.size() - before) + " more files" +
                          (deep.Stats.ReuseRefused ? "; " + std::to_string(deep.Stats.ReuseRefused) +
                                                         " folders kept from a folder that took their parent's cluster later"
                                                   : std::string()) +
                          (deep.Stats.PassedOver ? "; " + std::to_string(deep.Stats.PassedOver) +
                                                       " directory clusters passed over (memory limit)"
                                                 : std::string()) +
                          (deep.Stats.Stopped ? "; stopped" : ""));
    }
    TFatClusterPlans plans = PlanFatClusters(view, state.Lost.Deleted, dirClusters);
    if (plans.empty()) return;
    // The condition stays that of the contiguous range (the share of it in use now is what
    // may have been lost); the text adds that the content is pieced together around it.
    for (TFoundFile& f : state.Result.Found) {
        const auto it = plans.find(f.Inode);
        if (it != plans.end() && it->second.Fragmented && f.DamageScore >= 0)
            f.DamageText += state.Log.Translate(", in pieces");
    }
    auto map = std::make_shared<TClusterPlanMap>();
    for (auto& [address, plan] : plans) map->emplace(address, std::move(plan.Clusters));
    state.Result.ClusterPlans = std::move(map);
}

} // namespace brivo
