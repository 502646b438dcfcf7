#pragma once
#include <cstdint>
#include <string>
#include <unordered_set>
#include <vector>

#include "core/ReaderReport.h"
#include "core/ReaderResult.h"
#include "exfat/ExFatEntrySet.h"
#include "exfat/ExFatVolume.h"

namespace brivo {

// Directories deeper than this below the root are not walked.
inline constexpr int kExFatMaxDepth = 64;
// The format caps a directory at 256 MiB.
inline constexpr uint64_t kExFatMaxDirBytes = uint64_t{256} << 20;
// Where lost folders are listed, under the name the engine uses for lost entries.
inline constexpr const char* kExFatOrphanFolder = "/$OrphanFiles";

// A directory's bytes and the clusters they came from, in order.
struct TExFatDirData {
    std::vector<uint8_t> Data;
    std::vector<uint32_t> Clusters;
    uint32_t BytesPerCluster = 0;
};

// Reads a directory: along the FAT, or consecutive clusters when noFatChain. length 0
// reads until the chain ends (the root). A deleted directory's chain is followed only
// over free clusters. Stops at a cluster in `done` (read before as another directory's),
// so no cluster is decoded twice. False when not even the first cluster can be read.
bool ReadExFatDirectory(TExFatVolume& vol, uint32_t first, bool noFatChain, uint64_t length, bool deleted,
                        TExFatDirData& out, const std::unordered_set<uint32_t>* done = nullptr);

// The one scan over an open volume: the walk from the root, then, when asked, the sweep
// of free clusters for lost directories.
class TExFatScanner {
public:
    TExFatScanner(TExFatVolume& vol, TReaderReport& report, TReaderOptions options);
    TReaderResult Run();

private:
    struct TChild {
        std::string Path;
        TExFatEntrySet Set;
        bool Deleted = false;
    };
    // A set cut off by the end of a deleted folder's data: the rest may be found in a free
    // cluster by the sweep, which then belongs to that folder.
    struct TCutTail {
        std::string Path;           // the folder's
        std::vector<uint8_t> Bytes;  // the set's part that was read
        uint64_t EntryOffset = 0;
        int Depth = 0;
        long ResultIndex = -1;      // its result, listed under the partial name
    };
    // A deleted folder whose data the walk read to its stated end without meeting the end
    // of the directory: its entries went on in a cluster the cleared FAT no longer names.
    struct TOpenEnd {
        std::string Path;
        int Depth = 0;
        TDateTime Created = 0, Changed = 0;  // the folder's own entry set's times
    };
    void Walk(const std::string& path, uint32_t first, bool noFatChain, uint64_t length, bool deleted, int depth,
              const TExFatEntrySet* self = nullptr);
    // Whether every entry set in the first cluster of a deleted folder's data was made
    // after the folder last changed.
    bool MadeAfter(const TExFatDirData& dir, const TExFatEntrySet& folder) const;
    void PlaceOpenEnds(const std::vector<uint32_t>& found, const std::unordered_set<uint32_t>& claimed);
    void Decode(const std::string& path, const TExFatDirData& dir, bool deleted, int depth, std::vector<TChild>& children);
    long AddResult(const std::string& path, const TExFatEntrySet& set, uint64_t entryOffset, bool deleted);
    void Sweep();
    void JoinCutSets(std::vector<std::pair<uint32_t, std::vector<uint8_t>>>& starts);
    void Progress(const std::string& text, uint64_t pos = 0, uint64_t max = 0);

    TExFatVolume& vol_;
    TReaderReport& report_;
    TReaderOptions options_;
    // The cleanup filter hides empty files only from a search for everything: masks the
    // user typed ask for exactly the files they match, empty ones too.
    bool emptyIsNoise_ = false;
    TReaderResult result_;
    std::unordered_set<uint32_t> dirClusters_;  // read as directory data already
    std::unordered_set<uint64_t> seenAddresses_;
    TFoundBy foundBy_ = TFoundBy::Metadata;
    std::vector<TCutTail> cutTails_;
    std::vector<TOpenEnd> openEnds_;
    std::string cleanupBase_;  // the part of a sweep result's path the cleanup filter ignores
    uint64_t lastProgress_ = 0;
};

} // namespace brivo
