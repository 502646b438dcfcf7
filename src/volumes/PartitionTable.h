#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "core/ByteReaders.h"
#include "core/ByteSource.h"

namespace brivo {

enum class TPartitionScheme { None, Mbr, Gpt };

// "MBR", "GPT" or "none".
std::string PartitionSchemeName(TPartitionScheme scheme);

struct TPartition {
    // MBR: 1-4 the primary slots, 5 and up the logical volumes in chain order.
    // GPT: the entry's slot in the array plus one.
    uint32_t Number = 0;
    uint64_t StartSector = 0;  // in the table's sectors, from the start of the disk
    uint64_t SectorCount = 0;
    std::string Type;          // MBR "0x07"; GPT the type GUID
    std::string TypeName;      // "Microsoft basic data", "Linux", ... or empty
    std::string Name;          // GPT only
    bool Logical = false;
    // Why the volume cannot be read as it stands (it ends past the end of the source),
    // or a warning about it (it overlaps another); empty when sound.
    std::string Problem;
    bool Readable = true;
};

struct TPartitionTable {
    TPartitionScheme Scheme = TPartitionScheme::None;
    uint32_t SectorSize = 512;
    std::vector<TPartition> Partitions;
    // What was damaged and how the reader went on ("The primary GPT header is damaged;
    // the backup copy at the end of the disk was used.").
    std::vector<std::string> Problems;
};

// Reads the partition table at the start of disk: a GPT (behind its protective MBR, or
// alone) or an MBR with its extended chain. Never throws on malformed data: a source
// whose first sector is a file system's boot sector, or holds no table, gives None; a
// damaged table gives what could be read and says what was wrong in Problems. Reads are
// bounded: at most 1 MiB of GPT entries, at most 256 logical volumes, and an extended
// chain that revisits a sector ends there.
TPartitionTable ReadPartitionTable(TByteSource& disk);

// A GPT read from its backup header in the disk's last sector alone, for a disk whose
// first sectors are gone (no MBR, no primary header). Scheme None when there is no
// backup header whose entries check out.
TPartitionTable ReadBackupGpt(TByteSource& disk);

// The MBR partition-type name of a type byte, empty when unknown.
std::string MbrTypeName(uint8_t type);
// A GUID's text form from its 16 on-disk bytes (mixed-endian, upper case).
std::string GuidText(ByteSpan bytes16);
// The GPT partition-type name of a type GUID in text form, empty when unknown.
std::string GptTypeName(const std::string& guid);

} // namespace brivo
