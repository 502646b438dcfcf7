#pragma once
#include <cstdint>
#include <span>
#include <string>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "core/ReaderReport.h"
#include "fat32/FatDirEntry.h"
#include "fat32/FatVolumeView.h"

namespace brivo {

// Where the engine lists entries whose folder is unknown; the same name keeps paths comparable.
inline constexpr const char* kOrphanFolder = "/$OrphanFiles";
// Free clusters read per request during the sweep.
inline constexpr uint64_t kDeepReadBytes = 4u << 20;
// Directory data found in free space is kept until the sweep ends; past this much, further
// directory clusters are passed over (the log says so).
inline constexpr uint64_t kDeepMaxDirBytes = 512ull << 20;

enum class TFatClusterKind { NotDirectory, FolderStart, Continuation };

// What one cluster's bytes say about themselves.
struct TFatClusterVerdict {
    TFatClusterKind Kind = TFatClusterKind::NotDirectory;
    uint32_t Parent = 0;  // the ".." entry's cluster, for a folder's first cluster
    bool Full = false;    // no end marker: the folder went on in another cluster
};

// Whether the bytes of cluster `cluster` are directory data (the rule is at the definition).
TFatClusterVerdict ClassifyDirCluster(std::span<const uint8_t> bytes, uint32_t cluster, const TFatVolumeView& view);

// A directory the walk read.
struct TFatKnownDir {
    std::string Path;                // "" for the root
    std::vector<uint32_t> Clusters;  // the clusters read, in order; [0] is its first cluster
    bool Deleted = false;
    // For a live folder: the first cluster of the folder whose entry names it (0 for the
    // root) and that entry's birth stamp (FatBirthStamp). Its own "." and ".." must agree
    // with them before its "." is trusted to date the folder.
    uint32_t ParentCluster = 0;
    uint64_t EntryStamp = 0;
};

struct TFatDeepInput {
    // Every directory the walk read. Live ones give ".." entries their path; deleted ones are
    // read again so that their lost continuation clusters can be joined to them.
    std::vector<TFatKnownDir> KnownDirs;
    // Every cluster the walk read as directory data: the sweep passes them over.
    std::unordered_set<uint32_t> WalkClusters;
    // Deleted folders the walk named but could not read (first cluster -> path): a folder
    // found here whose ".." points at one of them belongs under it.
    std::unordered_map<uint32_t, std::string> UnreadFolders;
};

// A short entry found in free space and the folder it belongs to.
struct TFatDeepEntry {
    std::string ParentPath;  // "" for the root; under kOrphanFolder when its place is unknown
    TFatDirItem Item;
};

struct TFatDeepStats {
    uint64_t ClustersRead = 0;
    uint64_t FolderStarts = 0;
    uint64_t Continuations = 0;
    uint64_t Joined = 0;  // continuations placed in a folder
    uint64_t PassedOver = 0;  // directory clusters beyond kDeepMaxDirBytes
    uint64_t ReuseRefused = 0;  // folders whose ".." names a cluster another folder took since
    bool Stopped = false;
};

struct TFatDeepResult {
    std::vector<TFatDeepEntry> Entries;
    // Clusters taken as directory data, which no file's content can be in.
    std::unordered_set<uint32_t> DirClusters;
    TFatDeepStats Stats;
};

// Sweeps the free clusters the walk did not read for directory data and lists the entries
// found there. Stops early (keeping what it found) when report says Stop.
TFatDeepResult RunFatDeepSweep(const TFatVolumeView& view, const TFatDeepInput& input, TReaderReport& report);

// A deleted folder's data that fills its cluster without an end marker: its directory went
// on in other clusters, which only the sweep can find.
bool DirDataLacksEndMarker(std::span<const uint8_t> data);

// When the folder or file of a short entry came into being, as a number that orders
// stamps: its creation date and time, else (writers that leave them 0) its write date and
// time, which in a folder's "." and ".." entries is also when the folder was made. 0 when
// the entry has neither.
uint64_t FatBirthStamp(std::span<const uint8_t> entry);

} // namespace brivo
