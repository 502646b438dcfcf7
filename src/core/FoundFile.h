#pragma once
#include <cstdint>
#include <string>
#include <vector>

namespace brivo {

// A TDateTime: days since 1899-12-30, the fraction being the time of day.
using TDateTime = double;

// One deleted file found by a scanner. A value type: arrays hold copies.
struct TFoundFile {
    std::string Inode;      // metadata address handed to icat
    std::string FullPath;   // "/" or "\" separated, with or without a leading "/"
    bool IsDeleted = true;
    std::string FileType;
    bool IsDir = false;
    int64_t SizeBytes = 0;  // -1 when the engine printed no number
    TDateTime ModDateUtc = 0;
    bool HasModDate = false;
    std::string DamageText = "Unknown";
    int DamageScore = -1;   // -1: no estimate
};

using TFoundFiles = std::vector<TFoundFile>;
using TMaskList = std::vector<std::string>;

// Ordinals equal the Where-to-Scan list index.
enum class TScanWhere : int { swDisk = 0, swDiskImage = 1, swFolder = 2, swRecycleBin = 3 };

} // namespace brivo
