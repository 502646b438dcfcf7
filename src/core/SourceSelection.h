#pragma once
#include <array>
#include <string>
#include <string_view>
#include <vector>

#include "core/FoundFile.h"
#include "core/ScanHost.h"

namespace brivo {

// The window's source and mask controls, read into plain values so the core can be
// driven by any front end.
struct TScanChoice {
    TScanWhere Where = TScanWhere::swDisk;  // CurrentScanWhere of the cbWhereToScan index
    std::string DiskText;               // cbDisk text, e.g. "sdb1" or "/dev/sdb1"
    std::string ImagePath;              // EdDiskImagePath
    std::string FolderPath;             // edFolder
    std::string RecycleBinDiskText;     // cbRecycleBinDisk
    std::string WhereText;              // shown text of cbWhereToScan, for the log
    int WhatIndex = 0;                  // cbWhatToSearch item index: a kWhatCategories index
    std::string WhatText;               // shown text of cbWhatToSearch, for the log
    std::array<std::string, 5> MaskTexts{"*.*", "", "", "", ""};  // EdAllCustomFormats .. EdVideos
    bool Deep = false;        // also sweep free space for lost folders (FAT)
    bool ShowHidden = false;  // mask "*" and no cleanup filter: everything the scan finds
    bool ContentOnly = false; // find files by their content alone, over the whole volume
    // The kinds a content search looks for ("jpg", "pdf"); empty: those the masks name.
    std::vector<std::string> ContentTypes;
    // The volume of a partitioned disk or image to scan, by its number in the volume
    // list; 0 lets the scan choose (the only volume, or the only one with a file system).
    uint32_t Volume = 0;
};

struct TScanSource {
    std::string Src;         // "/dev/NAME" or the image path
    std::string PathFilter;  // folder scope: "/a/b", "/" or empty
    TScanWhere Where = TScanWhere::swDisk;
};

// Texts the user reads when a choice is refused or cannot be scanned (translated).
inline constexpr const char* kMsgSelectDisk = "Please select a disk.";
inline constexpr const char* kMsgSelectImage = "Please select an existing disk image file.";
inline constexpr const char* kMsgSelectFolder = "Please select an existing folder.";
inline constexpr const char* kMsgSelectRecycleBinDisk = "Please select a disk for Recycle Bin scanning.";
inline constexpr const char* kMsgNoLocalDrive = "Folder path does not include a local drive letter.";
inline constexpr const char* kMsgNetworkFolder =
    "UNC network folders are not supported. Select a local disk or disk image.";

// The kind of a Where-to-Scan list index (the order of kWhereKinds: swDisk, swDiskImage,
// swFolder, swRecycleBin); anything else (-1: no selection) is swDisk.
TScanWhere CurrentScanWhere(int whereIndex);

// The folder scope of a folder path: "/" plus the path below its drive, "/"-separated,
// no doubled and no trailing "/", "/" for the root; letter case kept. Takes Windows forms
// ("C:\Users\Bob\" gives "/Users/Bob", "D:\" gives "/") and paths relative to a mount
// ("/Users/Bob"). Empty text gives empty. A path beginning with "\" (a network share)
// raises std::runtime_error with the network-folder message, translated by host when one
// is given.
std::string NormalizeFolderFilter(const std::string& path, TScanHost* host = nullptr);

// Turns the Where-to-Scan choice into the source to read, the folder scope and the kind.
// Returns false after showing a warning (translated) when the choice is incomplete:
// no disk, no existing image file, no existing folder, no Recycle Bin disk. Raises
// std::runtime_error with a translated message for a folder that lies on a network file
// system, or on a mount with neither a device nor an image file behind it (tmpfs,
// overlay, proc). A folder's source is its mount's device (or image file), its scope the
// folder's path inside that volume.
bool BuildScanSource(const TScanChoice& choice, TScanHost& host, TScanSource& out);
// The same with the mount table given as /proc/self/mountinfo text (tests).
bool BuildScanSource(const TScanChoice& choice, TScanHost& host, TScanSource& out, std::string_view mountInfoText);

} // namespace brivo
