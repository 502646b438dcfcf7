#include "volumes/PartitionTable.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <set>

#include "core/TextFormat.h"
#include "core/Text.h"
#include "volumes/Crc32.h"
#include "volumes/FsProbe.h"

namespace brivo {

namespace {

constexpr size_t kMbrEntries = 446;
constexpr uint16_t kBootMark = 0xAA55;
constexpr uint8_t kTypeProtective = 0xEE;
constexpr uint32_t kMaxLogical = 256;
constexpr uint64_t kMaxGptEntryBytes = 1024 * 1024;

bool IsExtendedType(uint8_t t) { return t == 0x05 || t == 0x0F || t == 0x85; }

struct TMbrSlot {
    uint8_t Status = 0;
    uint8_t Type = 0;
    uint64_t Start = 0;
    uint64_t Count = 0;
    bool Used() const { return Type != 0 && Count != 0; }
};

TMbrSlot Slot(ByteSpan sector, int i) {
    const int64_t at = static_cast<int64_t>(kMbrEntries) + 16 * i;
    TMbrSlot s;
    s.Status = ReadU8(sector, at);
    s.Type = ReadU8(sector, at + 4);
    s.Start = ReadLe32(sector, at + 8);
    s.Count = ReadLe32(sector, at + 12);
    return s;
}

std::string TypeByteText(uint8_t t) {
    static const char* hex = "0123456789ABCDEF";
    return std::string("0x") + hex[t >> 4] + hex[t & 15];
}

bool ReadSector(TByteSource& disk, uint64_t lba, uint32_t ss, std::vector<uint8_t>& out) {
    out.assign(ss, 0);
    if (lba > UINT64_MAX / ss) return false;
    return disk.ReadExact(lba * ss, out.data(), ss);
}

struct TGptHeader {
    uint64_t MyLba = 0;
    uint64_t AltLba = 0;
    uint64_t EntriesLba = 0;
    uint32_t Count = 0;
    uint32_t EntrySize = 0;
    uint32_t EntriesCrc = 0;
};

// Reads and checks the header at lba; an empty result on success, else why not.
std::string ReadGptHeader(TByteSource& disk, uint64_t lba, uint32_t ss, TGptHeader& h) {
    std::vector<uint8_t> sec;
    if (!ReadSector(disk, lba, ss, sec)) return "cannot be read";
    const ByteSpan b(sec.data(), sec.size());
    if (std::memcmp(sec.data(), "EFI PART", 8) != 0) return "has no GPT signature";
    const uint32_t headerSize = ReadLe32(b, 12);
    if (headerSize < 92 || headerSize > ss) return "has a bad header size";
    std::vector<uint8_t> copy(sec.begin(), sec.begin() + headerSize);
    std::fill(copy.begin() + 16, copy.begin() + 20, uint8_t{0});
    if (Crc32(copy) != ReadLe32(b, 16)) return "fails its checksum";
    h.MyLba = ReadLe64(b, 24);
    h.AltLba = ReadLe64(b, 32);
    h.EntriesLba = ReadLe64(b, 72);
    h.Count = ReadLe32(b, 80);
    h.EntrySize = ReadLe32(b, 84);
    h.EntriesCrc = ReadLe32(b, 88);
    if (h.MyLba != lba) return "names another position";
    if (h.EntrySize < 128 || h.EntrySize % 8 != 0 || h.Count == 0 ||
        static_cast<uint64_t>(h.Count) * h.EntrySize > kMaxGptEntryBytes)
        return "describes an implausible entry array";
    return {};
}

std::string ReadGptEntries(TByteSource& disk, const TGptHeader& h, uint32_t ss, std::vector<uint8_t>& out) {
    const uint64_t bytes = static_cast<uint64_t>(h.Count) * h.EntrySize;
    out.assign(static_cast<size_t>(bytes), 0);
    if (h.EntriesLba > UINT64_MAX / ss) return "entry array lies out of range";
    if (!disk.ReadExact(h.EntriesLba * ss, out.data(), out.size())) return "entry array cannot be read";
    if (Crc32(out) != h.EntriesCrc) return "entry array fails its checksum";
    return {};
}

bool AllZero(ByteSpan b) {
    return std::all_of(b.begin(), b.end(), [](uint8_t v) { return v == 0; });
}

void ReadGpt(TByteSource& disk, uint32_t ss, TPartitionTable& t) {
    t.Scheme = TPartitionScheme::Gpt;
    t.SectorSize = ss;
    const uint64_t diskSectors = disk.Size() / ss;

    TGptHeader h;
    std::vector<uint8_t> entries;
    std::string why = ReadGptHeader(disk, 1, ss, h);
    if (why.empty()) why = ReadGptEntries(disk, h, ss, entries);
    if (!why.empty()) {
        // The backup header sits in the last sector; the primary's own pointer to it
        // is only trusted when the primary header itself checked out.
        std::vector<uint64_t> candidates;
        if (h.AltLba != 0) candidates.push_back(h.AltLba);
        if (diskSectors > 1) candidates.push_back(diskSectors - 1);
        std::string backupWhy = "cannot be found";
        bool ok = false;
        for (uint64_t lba : candidates) {
            TGptHeader b;
            backupWhy = ReadGptHeader(disk, lba, ss, b);
            if (backupWhy.empty()) backupWhy = ReadGptEntries(disk, b, ss, entries);
            if (backupWhy.empty()) {
                h = b;
                ok = true;
                break;
            }
        }
        if (!ok) {
            t.Problems.push_back("The GPT is damaged: its primary header " + why + " and its backup header " +
                                 backupWhy + ".");
            return;
        }
        t.Problems.push_back("The primary GPT header " + why + "; the backup copy at the end of the disk was used.");
    }

    for (uint32_t i = 0; i < h.Count; ++i) {
        const ByteSpan e(entries.data() + static_cast<size_t>(i) * h.EntrySize, h.EntrySize);
        if (AllZero(e.first(16))) continue;
        const uint64_t first = ReadLe64(e, 32);
        const uint64_t last = ReadLe64(e, 40);
        TPartition p;
        p.Number = i + 1;
        p.StartSector = first;
        p.SectorCount = last >= first ? last - first + 1 : 0;
        p.Type = GuidText(e.first(16));
        p.TypeName = GptTypeName(p.Type);
        // 36 UTF-16 units, ended by the first zero unit.
        size_t units = 0;
        while (units < 36 && ReadLe16(e, 56 + 2 * static_cast<int64_t>(units)) != 0) ++units;
        p.Name = Utf16LeToUtf8(e, 56, units);
        if (last < first) {
            p.Problem = "ends before it starts";
            p.Readable = false;
        }
        t.Partitions.push_back(std::move(p));
    }
}

void ReadExtendedChain(TByteSource& disk, const TMbrSlot& ext, uint32_t& nextNumber, TPartitionTable& t) {
    std::set<uint64_t> visited;
    uint64_t ebr = ext.Start;
    std::vector<uint8_t> sec;
    for (uint32_t n = 0;; ++n) {
        if (n >= kMaxLogical) {
            t.Problems.push_back(Format("The extended partition holds more than %d logical volumes; the rest were left out.",
                                        {kMaxLogical}));
            return;
        }
        if (!visited.insert(ebr).second) {
            t.Problems.push_back("The chain of logical volumes loops back on itself; it was followed only once.");
            return;
        }
        if (!ReadSector(disk, ebr, 512, sec)) {
            t.Problems.push_back(Format("The logical volume table at sector %d cannot be read.", {ebr}));
            return;
        }
        const ByteSpan b(sec.data(), sec.size());
        if (ReadLe16(b, 510) != kBootMark) {
            t.Problems.push_back(Format("The logical volume table at sector %d is damaged.", {ebr}));
            return;
        }
        const TMbrSlot here = Slot(b, 0);
        if (here.Used() && !IsExtendedType(here.Type)) {
            TPartition p;
            p.Number = nextNumber++;
            p.StartSector = ebr + here.Start;
            p.SectorCount = here.Count;
            p.Type = TypeByteText(here.Type);
            p.TypeName = MbrTypeName(here.Type);
            p.Logical = true;
            t.Partitions.push_back(std::move(p));
        }
        const TMbrSlot next = Slot(b, 1);
        if (!next.Used() || !IsExtendedType(next.Type)) return;
        const uint64_t at = ext.Start + next.Start;
        if (next.Start == 0 || next.Start >= ext.Count) {
            t.Problems.push_back(Format("The chain of logical volumes points outside its extended partition at sector %d.",
                                        {ebr}));
            return;
        }
        ebr = at;
    }
}

void CheckRanges(uint64_t diskSectors, TPartitionTable& t) {
    for (auto& p : t.Partitions) {
        if (!p.Readable || diskSectors == 0) continue;
        if (p.StartSector >= diskSectors || p.SectorCount > diskSectors - p.StartSector) {
            p.Problem = "ends past the end of the source (the table is damaged or the image is cut short)";
            p.Readable = false;
        }
    }
    for (size_t i = 0; i < t.Partitions.size(); ++i) {
        for (size_t j = 0; j < t.Partitions.size(); ++j) {
            if (i == j) continue;
            const auto& a = t.Partitions[i];
            const auto& b = t.Partitions[j];
            if (a.SectorCount == 0 || b.SectorCount == 0) continue;
            const bool overlap = a.StartSector < b.StartSector + b.SectorCount && b.StartSector < a.StartSector + a.SectorCount;
            if (overlap && t.Partitions[i].Problem.empty())
                t.Partitions[i].Problem = Format("overlaps volume %d", {b.Number});
        }
    }
}

} // namespace

std::string PartitionSchemeName(TPartitionScheme scheme) {
    switch (scheme) {
        case TPartitionScheme::Mbr: return "MBR";
        case TPartitionScheme::Gpt: return "GPT";
        case TPartitionScheme::None: break;
    }
    return "none";
}

TPartitionTable ReadPartitionTable(TByteSource& disk) {
    TPartitionTable t;
    std::vector<uint8_t> mbr;
    if (!ReadSector(disk, 0, 512, mbr)) return t;
    const ByteSpan m(mbr.data(), mbr.size());
    if (LooksLikeVolumeBootRecord(m)) return t;

    bool protective = false;
    bool valid = ReadLe16(m, 510) == kBootMark;
    for (int i = 0; i < 4; ++i) {
        const TMbrSlot s = Slot(m, i);
        if (s.Status != 0 && s.Status != 0x80) valid = false;
        if (s.Type == kTypeProtective) protective = true;
    }
    valid = valid || protective;

    // A GPT is looked for behind a protective MBR, and also where an MBR is missing
    // altogether (a wiped first sector). Its sector size shows in where the header
    // sits; with the primary header gone, in where the backup sits.
    auto headerAt = [&disk](bool backup, uint32_t ss) {
        std::vector<uint8_t> sec;
        const uint64_t n = disk.Size() / ss;
        if (backup && n < 2) return false;
        return ReadSector(disk, backup ? n - 1 : 1, ss, sec) && std::memcmp(sec.data(), "EFI PART", 8) == 0;
    };
    for (bool backup : {false, true}) {
        if (backup && !protective) break;
        for (uint32_t ss : {512u, 4096u}) {
            if (!headerAt(backup, ss)) continue;
            ReadGpt(disk, ss, t);
            CheckRanges(disk.Size() / t.SectorSize, t);
            return t;
        }
    }
    if (protective) {
        ReadGpt(disk, 512, t);  // says why neither copy could be used
        return t;
    }
    if (!valid) return t;

    t.Scheme = TPartitionScheme::Mbr;
    uint32_t nextLogical = 5;
    for (int i = 0; i < 4; ++i) {
        const TMbrSlot s = Slot(m, i);
        if (!s.Used()) continue;
        if (IsExtendedType(s.Type)) {
            ReadExtendedChain(disk, s, nextLogical, t);
            continue;
        }
        TPartition p;
        p.Number = static_cast<uint32_t>(i + 1);
        p.StartSector = s.Start;
        p.SectorCount = s.Count;
        p.Type = TypeByteText(s.Type);
        p.TypeName = MbrTypeName(s.Type);
        t.Partitions.push_back(std::move(p));
    }
    std::sort(t.Partitions.begin(), t.Partitions.end(),
              [](const TPartition& a, const TPartition& b) { return a.Number < b.Number; });
    if (t.Partitions.empty() && t.Problems.empty()) t.Scheme = TPartitionScheme::None;
    CheckRanges(disk.Size() / 512, t);
    return t;
}

TPartitionTable ReadBackupGpt(TByteSource& disk) {
    TPartitionTable t;
    for (uint32_t ss : {512u, 4096u}) {
        const uint64_t n = disk.Size() / ss;
        std::vector<uint8_t> sec;
        if (n < 2 || !ReadSector(disk, n - 1, ss, sec) || std::memcmp(sec.data(), "EFI PART", 8) != 0) continue;
        ReadGpt(disk, ss, t);
        if (t.Partitions.empty()) return TPartitionTable{};
        CheckRanges(n, t);
        return t;
    }
    return t;
}

std::string MbrTypeName(uint8_t type) {
    switch (type) {
        case 0x01: return "FAT12";
        case 0x04:
        case 0x06:
        case 0x0E: return "FAT16";
        case 0x07: return "NTFS/exFAT";
        case 0x0B:
        case 0x0C: return "FAT32";
        case 0x11:
        case 0x14:
        case 0x16:
        case 0x1E: return "Hidden FAT";
        case 0x17: return "Hidden NTFS/exFAT";
        case 0x1B:
        case 0x1C: return "Hidden FAT32";
        case 0x27: return "Windows recovery";
        case 0x82: return "Linux swap";
        case 0x83: return "Linux";
        case 0x8E: return "Linux LVM";
        case 0xA5: return "FreeBSD";
        case 0xA6: return "OpenBSD";
        case 0xA8: return "Apple UFS";
        case 0xAF: return "Apple HFS/HFS+";
        case 0xEE: return "GPT protective";
        case 0xEF: return "EFI system";
        case 0xFD: return "Linux RAID";
        default: return {};
    }
}

std::string GuidText(ByteSpan b) {
    if (b.size() < 16) return {};
    static const char* hex = "0123456789ABCDEF";
    std::string s;
    auto put = [&](uint8_t v) {
        s += hex[v >> 4];
        s += hex[v & 15];
    };
    for (int i = 3; i >= 0; --i) put(b[i]);
    s += '-';
    put(b[5]);
    put(b[4]);
    s += '-';
    put(b[7]);
    put(b[6]);
    s += '-';
    put(b[8]);
    put(b[9]);
    s += '-';
    for (int i = 10; i < 16; ++i) put(b[i]);
    return s;
}

std::string GptTypeName(const std::string& guid) {
    static const std::array<std::pair<const char*, const char*>, 16> table{{
        {"C12A7328-F81F-11D2-BA4B-00A0C93EC93B", "EFI system"},
        {"EBD0A0A2-B9E5-4433-87C0-68B6B72699C7", "Microsoft basic data"},
        {"E3C9E316-0B5C-4DB8-817D-F92DF00215AE", "Microsoft reserved"},
        {"DE94BBA4-06D1-4D40-A16A-BFD50179D6AC", "Windows recovery"},
        {"0FC63DAF-8483-4772-8E79-3D69D8477DE4", "Linux filesystem"},
        {"0657FD6D-A4AB-43C4-84E5-0933C84B4F4F", "Linux swap"},
        {"E6D6D379-F507-44C2-A23C-238F2A3DF928", "Linux LVM"},
        {"A19D880F-05FC-4D3B-A006-743F0F84911E", "Linux RAID"},
        {"933AC7E1-2EB4-4F13-B844-0E14E2AEF915", "Linux home"},
        {"4F68BCE3-E8CD-4DB1-96E7-FBCAF984B709", "Linux root (x86-64)"},
        {"21686148-6449-6E6F-744E-656564454649", "BIOS boot"},
        {"48465300-0000-11AA-AA11-00306543ECAC", "Apple HFS/HFS+"},
        {"7C3457EF-0000-11AA-AA11-00306543ECAC", "Apple APFS"},
        {"516E7CB4-6ECF-11D6-8FF8-00022D09712B", "FreeBSD"},
        {"516E7CB6-6ECF-11D6-8FF8-00022D09712B", "FreeBSD UFS"},
        {"5808C8AA-7E8F-42E0-85D2-E1E90434CFB3", "Microsoft LDM metadata"},
    }};
    for (const auto& [g, name] : table)
        if (guid == g) return name;
    return {};
}

} // namespace brivo
