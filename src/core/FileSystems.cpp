#include "core/FileSystems.h"

#include <array>

#include "core/ExFatBootSector.h"
#include "core/ExtSuperblock.h"
#include "core/FatBootSector.h"
#include "core/NtfsBootSector.h"

namespace brivo {

namespace {

// A boot sector's end mark, where every boot-sector row's search candidates carry it.
constexpr uint32_t kBootMarkAt = 510;
constexpr uint16_t kBootMark = 0xAA55;

bool NtfsHead(ByteSpan head) { return IsNtfsBootSector(head); }
bool ExFatHead(ByteSpan head) { return IsExFatBootSector(head); }

// One FAT decoding serves the three widths; each row takes only its own.
template <TFsKind Kind>
bool FatHead(ByteSpan head) {
    return FatKindOfBootSector(head) == Kind;
}
template <TFsKind Kind>
std::optional<TVolumeFacts> FatFacts(ByteSpan sector) {
    std::optional<TVolumeFacts> f = FatVolumeFacts(sector);
    if (f && f->Kind != Kind) return {};
    return f;
}

// The first group's block bitmap, inode bitmap and inode table lie inside the volume.
bool ExtStructureLooksRight(const TVolumeFacts& f, ByteSpan b) {
    const uint64_t blocks = f.LengthBytes / f.BytesPerSector;
    for (int64_t at : {0, 4, 8}) {
        const uint64_t block = ReadLe32(b, at);
        if (block == 0 || block >= blocks) return false;
    }
    return true;
}

// A superblock the ext reader can use, of this row's kind (ext4 features, a journal, or neither).
template <TFsKind Kind>
bool ExtKindOf(ByteSpan superblock) {
    const auto sb = DecodeExtSuperblock(superblock);
    if (!sb) return false;
    const TFsKind k = sb->Kind == TExtKind::Ext4 ? TFsKind::Ext4 : sb->Kind == TExtKind::Ext3 ? TFsKind::Ext3 : TFsKind::Ext2;
    return k == Kind;
}
template <TFsKind Kind>
bool ExtHead(ByteSpan head) {
    return head.size() >= kExtSuperblockOffset + kExtSuperblockSize &&
           ExtKindOf<Kind>(head.subspan(kExtSuperblockOffset, kExtSuperblockSize));
}
template <TFsKind Kind>
std::optional<TVolumeFacts> ExtFacts(ByteSpan superblock) {
    if (!ExtKindOf<Kind>(superblock)) return {};
    std::optional<TVolumeFacts> f = ReadExtSuperblockFacts(superblock);
    if (f) f->Kind = Kind;
    return f;
}

// NTFS is asked first (its parameter block could pass for a FAT one), then exFAT, then
// the FAT widths; the ext superblock at 1024 comes last (a FAT volume's reserved sectors
// could hold anything there).
const std::array<TFsInfo, 8> kFileSystems{{
    {TFsKind::Ntfs, "NTFS", "ntfs", "boot sector", 0, 512, kBootMarkAt, kBootMark, NtfsHead, NtfsVolumeFacts,
     NtfsStructureLooksRight, IsNtfsBootSector, HasNtfsBackupBootSector},
    {TFsKind::ExFat, "exFAT", "exfat", "boot sector", 0, 512, kBootMarkAt, kBootMark, ExFatHead, ExFatVolumeFacts,
     ExFatStructureLooksRight, IsExFatBootSector, nullptr},
    {TFsKind::Fat32, "FAT32", "fat", "boot sector", 0, 512, kBootMarkAt, kBootMark, FatHead<TFsKind::Fat32>,
     FatFacts<TFsKind::Fat32>, FatStructureLooksRight, IsFatVolumeBootRecord, nullptr},
    {TFsKind::Fat16, "FAT16", "fat", "boot sector", 0, 512, kBootMarkAt, kBootMark, FatHead<TFsKind::Fat16>,
     FatFacts<TFsKind::Fat16>, FatStructureLooksRight, IsFatVolumeBootRecord, nullptr},
    {TFsKind::Fat12, "FAT12", "fat", "boot sector", 0, 512, kBootMarkAt, kBootMark, FatHead<TFsKind::Fat12>,
     FatFacts<TFsKind::Fat12>, FatStructureLooksRight, IsFatVolumeBootRecord, nullptr},
    {TFsKind::Ext4, "ext4", "ext4", "superblock", 1024, 1024, 56, kExtMagic, ExtHead<TFsKind::Ext4>,
     ExtFacts<TFsKind::Ext4>, ExtStructureLooksRight},
    {TFsKind::Ext3, "ext3", "ext3", "superblock", 1024, 1024, 56, kExtMagic, ExtHead<TFsKind::Ext3>,
     ExtFacts<TFsKind::Ext3>, ExtStructureLooksRight},
    {TFsKind::Ext2, "ext2", "ext2", "superblock", 1024, 1024, 56, kExtMagic, ExtHead<TFsKind::Ext2>,
     ExtFacts<TFsKind::Ext2>, ExtStructureLooksRight},
}};

} // namespace

// Every kind the search weighs has a row of its own now.
std::span<const TFsInfo> SearchOnlyFileSystems() { return {}; }

std::optional<TVolumeFacts> ReadExtSuperblockFacts(ByteSpan sb) {
    // No volume is larger: keeps every product of a block count and a block size in range.
    constexpr uint64_t kMaxVolumeBytes = uint64_t{1} << 56;
    if (sb.size() < 1024 || ReadLe16(sb, 56) != 0xEF53) return {};
    const uint32_t logBlock = ReadLe32(sb, 24);
    if (logBlock > 6) return {};
    const uint64_t bs = uint64_t{1024} << logBlock;
    const uint64_t perGroup = ReadLe32(sb, 32);
    const uint64_t firstData = ReadLe32(sb, 20);
    const uint32_t incompat = ReadLe32(sb, 96);
    uint64_t blocks = ReadLe32(sb, 4);
    if ((incompat & 0x80) != 0) blocks |= static_cast<uint64_t>(ReadLe32(sb, 0x150)) << 32;
    const uint64_t group = ReadLe16(sb, 90);
    if (perGroup == 0 || perGroup > 8 * bs || ReadLe32(sb, 40) == 0 || ReadLe32(sb, 0) == 0 ||
        firstData != (bs == 1024 ? 1u : 0u) || ReadLe32(sb, 76) > 1 || blocks <= firstData || blocks >= kMaxVolumeBytes / bs)
        return {};
    const uint64_t groups = (blocks - firstData + perGroup - 1) / perGroup;
    if (group >= groups) return {};
    TVolumeFacts f;
    f.BytesPerSector = static_cast<uint32_t>(bs);  // the unit of its sizes: a block
    f.ClusterBytes = static_cast<uint32_t>(bs);
    f.LengthBytes = blocks * bs;
    f.MainOffset = 1024;
    f.CopyBytes = 1024;
    f.SelfOffset = group == 0 ? 1024 : (group * perGroup + firstData) * bs;
    // Group 1 always holds a backup, unless the volume names its two backup groups.
    uint64_t backupGroup = groups > 1 ? 1 : 0;
    if ((ReadLe32(sb, 92) & 0x200) != 0) backupGroup = ReadLe32(sb, 0x24C);
    if (backupGroup >= groups) backupGroup = 0;
    f.BackupOffset = backupGroup == 0 ? 0 : (backupGroup * perGroup + firstData) * bs;
    f.StructureOffset = (firstData + 1) * bs;
    f.Serial = ReadLe64(sb, 104);
    return f;
}

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
