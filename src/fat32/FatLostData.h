#pragma once
#include <string>
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
};

// The walk read dir as the directory at path.
void NoteWalkedDir(TFat32ScanState& state, const std::string& path, const TFatDirData& dir, bool deleted);
// A deleted short entry the walk or the sweep met, before any filter.
void NoteDeletedEntry(TFat32ScanState& state, const TFatDirItem& item);
// After the walk: the sweep when the options ask for it (its entries become results), then
// the cluster plans of deleted files that do not follow their first cluster.
void FinishFatLostData(TFat32ScanState& state);

} // namespace brivo
