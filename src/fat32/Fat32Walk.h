#pragma once
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/ClusterCondition.h"
#include "core/FoundFile.h"
#include "core/ReaderResult.h"
#include "fat32/Fat32Log.h"
#include "fat32/Fat32Volume.h"
#include "fat32/FatDirEntry.h"
#include "fat32/FatLostData.h"

namespace brivo {

// Directories deeper than this below the root are not walked.
inline constexpr int kFatMaxDepth = 64;
// Progress text at most this often (milliseconds).
inline constexpr uint64_t kFatProgressIntervalMs = 250;

// The working state of one FAT32 scan.
struct TFat32ScanState {
    TFat32ScanState(TFat32Volume volume, TFat32Log& log, TReaderOptions options)
        : Volume(std::move(volume)), Log(log), Options(std::move(options)) {}

    TFat32Volume Volume;
    TFat32Log& Log;
    TReaderOptions Options;
    TReaderResult Result;
    uint64_t LastProgressTick = 0;
    std::unordered_set<std::string> SeenKeys;          // result keys and "__DIR__" keys
    std::unordered_set<uint32_t> DeletedDirClusters;   // start clusters of deleted folder entries
    // Clusters already read as directory data. A directory is read once: a second entry
    // that reaches the same cluster (a loop back to an ancestor, a cross-link, a second
    // deleted alias) would only list the same entries again under another path.
    TFatClusterSet DirClusters;
    // What the walk leaves for the free-space sweep and the cluster planner.
    TFatLostData Lost;
};

// The condition of a deleted file read contiguously from its first cluster, as the engine
// reads it: those clusters that the FAT hands out again are lost. At most
// kConditionSampleClusters are tested; "Unknown" when none of them is on the volume.
TClusterCondition FatContiguousCondition(TFat32Volume& vol, uint32_t first, int64_t size,
                                         const std::function<std::string(const std::string&)>& translate = {});

// The metadata address the engine gives the entry at this volume offset: the 32-byte slot
// counted from the start of cluster 2, plus 3.
std::string FatMetaAddress(const TFat32ScanState& state, int64_t entryOffset);

void WalkFatDirectory(TFat32ScanState& state, const std::string& path, uint32_t cluster, bool deleted, int depth,
                      int64_t sizeHint);
// The files pass over a directory already read, then its child folders.
void WalkDirectoryData(TFat32ScanState& state, const std::string& path, const TFatDirData& dir, bool deleted, int depth);
// A folder entry met in a directory's pass, walked once the pass is done.
struct TFatChildDir {
    std::string Name;
    uint32_t Start = 0;
    int64_t Size = 0;
    size_t Index = 0;      // slot in the parent's data, for the debug log
    uint8_t Attr = 0;
    bool Deleted = false;  // the entry itself is marked deleted
    uint64_t Stamp = 0;    // FatBirthStamp of the entry
};

// The one pass over a directory's data: deleted files become results, and the folders
// with a first cluster are collected into childDirs when given.
void DecodeDirectoryEntries(TFat32ScanState& state, const std::string& parentPath, const TFatDirData& dir,
                            bool parentDeleted, std::vector<TFatChildDir>* childDirs = nullptr);
// A deleted file entry becomes a result unless a filter hides it. Empty files are listed (the
// cleanup filter hides them); entries whose numbers cannot describe content are not.
void AddFatResult(TFat32ScanState& state, const std::string& parentPath, const TFatDirItem& item,
                  TFoundBy foundBy = TFoundBy::Metadata);

// The whole scan over an already opened volume: walks from the root and returns what it
// found. Used by FastScanFat32Direct and by tests and fuzzing over memory images.
TReaderResult RunFat32Scan(TFat32Log& log, TFat32Volume volume, const TReaderOptions& options);

} // namespace brivo
