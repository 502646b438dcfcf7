#pragma once
#include <array>
#include <string>

#include "core/FoundFile.h"
#include "core/ScanHost.h"

namespace brivo {

// The window's source and mask controls, read into plain values so the core can be
// driven by any front end.
struct TScanChoice {
    int WhereIndex = 0;                 // cbWhereToScan item index (-1: none)
    std::string DiskText;               // cbDisk text, e.g. "sdb1" or "/dev/sdb1"
    std::string ImagePath;              // EdDiskImagePath
    std::string FolderPath;             // edFolder
    std::string RecycleBinDiskText;     // cbRecycleBinDisk
    std::string WhereText;              // shown text of cbWhereToScan, for the log
    int WhatIndex = 0;                  // cbWhatToSearch item index
    std::string WhatText;               // shown text of cbWhatToSearch, for the log
    std::array<std::string, 5> MaskTexts{"*.*", "", "", "", ""};  // EdAllCustomFormats .. EdVideos
};

struct TScanSource {
    std::string Src;         // "/dev/NAME" or the image path
    std::string PathFilter;  // folder scope: "/a/b", "/" or empty
    TScanWhere Where = TScanWhere::swDisk;
};

} // namespace brivo
