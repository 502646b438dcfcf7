#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <memory>
#include <string>
#include <unordered_map>
#include <vector>

#include "core/FoundFile.h"

namespace brivo {

// What a direct reader is asked to list.
struct TReaderOptions {
    TMaskList Masks{"*.*"};
    // The cleanup filter (empty files, system and noise paths); off when the user asks
    // to see everything that was left out.
    bool Cleanup = true;
    // Also sweep free space for metadata the walk could not reach (lost folders).
    bool Deep = false;
    // A content search reads the free space right after the reader: a reader that would
    // read it too hands back a TFreeSpaceWatcher instead, so it is read once.
    bool FreeSpaceReadAfter = false;
    // In a deep scan: whether the content search finds files of a path's kind, so that a
    // name whose content is gone is worth handing to it (NamesWithoutContent).
    std::function<bool(const std::string& path)> FoundByContent = {};
};

class TFreeSpaceWatcher;

// A deleted file a reader could name but whose content no map places any more, handed
// to a deep scan's content search: what it finds in the same area with the same kind is
// shown beside the name, and joined to it only on proof (the size the file had, known
// from its metadata, equal to a find's proven size).
struct TNameWithoutContent {
    // The name's result: a row of Found at Index, or (Index kNotListed) left out by the
    // cleanup filter as an empty file and counted in HiddenByCleanup, listed only if the
    // search finds something beside it.
    static constexpr size_t kNotListed = SIZE_MAX;
    size_t Index = kNotListed;
    TFoundFile Row;  // the row itself only when not listed; else empty

    // Where its file system puts such a file's content (volume bytes).
    TByteExtent Area;
    // The size the file had, where its metadata still says it; 0 when nothing does.
    uint64_t ProvenSize = 0;
};

// The clusters to read a result's content from, in order, keyed by its metadata address:
// what a scan learned about files whose content does not simply follow their first
// cluster, handed to the same reader's extractor.
using TClusterPlanMap = std::unordered_map<std::string, std::vector<uint32_t>>;

// What a direct reader hands back to the driver, which writes FFound.
struct TReaderResult {
    TFoundFiles Found;
    // Deleted entries found but left out, so the front end can say how many and offer
    // to show them.
    uint64_t HiddenByMasks = 0;
    uint64_t HiddenByCleanup = 0;
    // The walk met a deleted folder whose directory data ends without an end marker
    // after its first cluster: a deep scan may find more of it.
    bool DeepMayFindMore = false;
    // The deleted folders the reader met, as its results' paths name them (the folder tree
    // draws them as deleted). A folder may be listed more than once.
    std::vector<std::string> DeletedFolders;
    // The deleted files whose content does not simply follow their first cluster (they
    // were written in turns with other files, or run off the volume). A file not listed is
    // read the reader's usual way; a listed one from these clusters, and only as far as
    // they reach when they hold less than its size.
    std::shared_ptr<const TClusterPlanMap> ClusterPlans;
    // The volume's free space as its file system marks it, in volume byte offsets, merged
    // runs in offset order: where a deep scan searches by content. Filled only for a deep
    // scan; FreeAreasKnown false means the reader could not tell (search everything).
    std::vector<TByteExtent> FreeAreas;
    bool FreeAreasKnown = false;
    // Where the content of the deleted files the reader met begins (volume byte offsets,
    // any order, also those the masks left out), so a content search does not list them
    // twice. Filled only for a deep scan.
    std::vector<uint64_t> KnownStarts;
    // With TReaderOptions::FreeSpaceReadAfter, what the reader left to the content search's
    // reading; null when it left nothing.
    std::shared_ptr<TFreeSpaceWatcher> Watcher;
    // Filled only for a deep scan; the content phase consumes it.
    std::vector<TNameWithoutContent> NamesWithoutContent;
};

// What a reader looks for in free space while the content search reads it: shown every
// piece the search reads (volume byte offsets; what starts in the first `starts` bytes is
// this piece's, the rest is the start of the next), then asked for what it found.
class TFreeSpaceWatcher {
public:
    virtual ~TFreeSpaceWatcher() = default;
    virtual void Search(uint64_t at, std::span<const uint8_t> bytes, uint64_t starts) = 0;
    // Its results, hidden counts and known starts.
    virtual TReaderResult Finish() = 0;
};

// Appends a run of free bytes, joining it to the last run when they touch.
inline void AddFreeRun(std::vector<TByteExtent>& runs, uint64_t offset, uint64_t length) {
    if (length == 0) return;
    if (!runs.empty() && runs.back().Offset + runs.back().Length == offset) runs.back().Length += length;
    else runs.push_back({offset, length});
}

} // namespace brivo
