#pragma once
#include <cstdint>
#include <string>
#include <unordered_map>
#include <vector>

#include "fat32/FatDeepScan.h"
#include "fat32/FatFragments.h"

namespace brivo {

struct TFat32ScanState;
struct TFatDirData;

// What the walk leaves for the free-space sweep and the cluster planner.
struct TFatLostData {
    std::vector<TFatKnownDir> WalkedDirs;
    std::vector<TFatDeletedEntry> Deleted;  // every deleted short entry met, files and folders
    // Deleted folders the walk could name but not read (their first cluster was overwritten):
    // first cluster -> path.
    std::unordered_map<uint32_t, std::string> UnreadFolders;
    // Live folders by first cluster: the first cluster of the folder whose entry names
    // them (0 for the root) and that entry's FatBirthStamp.
    std::unordered_map<uint32_t, std::pair<uint32_t, uint64_t>> LiveOrigins;
};

// The walk read dir as the directory at path.
void NoteWalkedDir(TFat32ScanState& state, const std::string& path, const TFatDirData& dir, bool deleted);
// The walk is about to enter the live folder whose entry in parent (the directory at
// parentPath) names child as its first cluster, with that entry's birth stamp.
void NoteLiveFolderOrigin(TFat32ScanState& state, const std::string& parentPath, const TFatDirData& parent,
                          uint32_t child, uint64_t entryStamp);
// The walk met a deleted folder at path whose directory data is gone. Its subfolders
// that survive elsewhere still point at it with "..", so the sweep can place them there.
void NoteUnreadFolder(TFat32ScanState& state, const std::string& path, uint32_t cluster, bool deleted);
// A deleted short entry the walk or the sweep met, before any filter.
void NoteDeletedEntry(TFat32ScanState& state, const TFatDirItem& item);
// After the walk: the sweep when the options ask for it (its entries become results), then
// the cluster plans of deleted files that do not follow their first cluster.
void FinishFatLostData(TFat32ScanState& state);

} // namespace brivo
