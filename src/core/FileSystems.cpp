#include "core/FileSystems.h"

#include <array>

namespace brivo {

namespace {

constexpr std::array<TFsInfo, 5> kFileSystems{{
    {TFsKind::Ntfs, "NTFS", "ntfs"},
    {TFsKind::Fat32, "FAT32", "fat"},
    {TFsKind::Fat16, "FAT16", "fat"},
    {TFsKind::Fat12, "FAT12", "fat"},
    {TFsKind::ExFat, "exFAT", "exfat"},
}};

} // namespace

std::span<const TFsInfo> FileSystemTable() { return kFileSystems; }

const TFsInfo* FindFileSystem(TFsKind kind) {
    for (const TFsInfo& fs : kFileSystems)
        if (fs.Kind == kind) return &fs;
    return nullptr;
}

std::string FsSwitchForKind(TFsKind kind) {
    const TFsInfo* fs = FindFileSystem(kind);
    return fs ? std::string(" -f ") + fs->EngineFs : std::string();
}

std::string FsKindName(TFsKind kind) {
    const TFsInfo* fs = FindFileSystem(kind);
    return fs ? fs->Name : "not recognised";
}

} // namespace brivo
