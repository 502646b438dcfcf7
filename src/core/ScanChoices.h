#pragma once
#include <array>
#include <string>
#include <string_view>

#include "core/FoundFile.h"

namespace brivo {

// The Where-to-Scan kinds and What-to-Search categories, once for every front end: the
// window fills its lists and menus from these tables in this order (the list index is the
// table index), the command line takes the CLI names. Captions are English and pass
// through Translate where they are shown.

struct TWhereKindInfo {
    TScanWhere Where;
    const char* CliName;  // "disk", "image", "folder", "recycle"
    const char* Caption;  // "Disk", "Disk Image", "Folder", "Recycle Bin"
};

inline constexpr std::array<TWhereKindInfo, 4> kWhereKinds = {{
    {TScanWhere::swDisk, "disk", "Disk"},
    {TScanWhere::swDiskImage, "image", "Disk Image"},
    {TScanWhere::swFolder, "folder", "Folder"},
    {TScanWhere::swRecycleBin, "recycle", "Recycle Bin"},
}};

// What-to-Search categories, by their index in the list (and in TScanChoice::MaskTexts).
constexpr int kWhatAllCustom = 0;
constexpr int kWhatDocuments = 1;
constexpr int kWhatImages = 2;
constexpr int kWhatMusic = 3;
constexpr int kWhatVideos = 4;
constexpr int kWhatCount = 5;

struct TWhatCategoryInfo {
    const char* CliName;      // "all", "documents", ...
    const char* Caption;      // "All/Custom Formats", "Documents", ...
    const char* DefaultMasks; // the initial comma-separated mask text of its text box
};

inline constexpr std::array<TWhatCategoryInfo, kWhatCount> kWhatCategories = {{
    {"all", "All/Custom Formats", "*.*"},
    {"documents", "Documents",
     "*.pdf,*.doc,*.docx,*.rtf,*.txt,*.odt,*.xls,*.xlsx,*.ppt,*.pptx,*.csv,*.xml,*.json,*.md,"
     "*.log,*.zip,*.rar,*.7z"},
    {"images", "Images", "*.jpg,*.jpeg,*.png,*.gif,*.bmp,*.tif,*.tiff,*.webp,*.heic,*.raw,*.nef,*.cr2,*.arw"},
    {"music", "Music", "*.mp3,*.wav,*.flac,*.aac,*.m4a,*.ogg,*.wma,*.alac"},
    {"videos", "Videos", "*.mp4,*.mkv,*.avi,*.mov,*.wmv,*.m4v,*.webm,*.mpeg,*.mpg,*.3gp"},
}};

// The table entry of a kind (every TScanWhere has one).
const TWhereKindInfo& WhereKindInfo(TScanWhere where);
// The list index of a kind: its place in kWhereKinds.
int WhereKindIndex(TScanWhere where);

// Lookups by CLI name (exact, lower case); false when no entry has that name.
bool FindWhereByCliName(std::string_view name, TScanWhere& out);
bool FindWhatByCliName(std::string_view name, int& whatIndex);

// "a, b, c or d" of the CLI names, for help and error texts.
std::string WhereCliNames();
std::string WhatCliNames();

// The initial comma-separated mask text of a category's text box (EdAllCustomFormats ..
// EdVideos); "*.*" for an index outside 0..4.
std::string DefaultMaskText(int whatIndex);

} // namespace brivo
