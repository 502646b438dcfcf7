#pragma once
#include <cstdint>

#include "core/ByteReaders.h"
#include "core/ByteSource.h"
#include "core/FileSystems.h"
#include <optional>
#include <vector>

namespace brivo {

// The largest cluster a format writes (2 MiB): every buffer of one cluster stays small.
inline constexpr int64_t kNtfsMaxClusterBytes = int64_t{2} * 1024 * 1024;
// FILE records and index blocks are 1 KiB or 4 KiB on every volume; larger sizes are
// refused so that a damaged boot sector cannot make each record read a huge allocation.
inline constexpr int64_t kNtfsMinRecordBytes = 512;
inline constexpr int64_t kNtfsMaxRecordBytes = 64 * 1024;

// Sectors per cluster from the boot sector's byte at 13. Up to 0x80 the byte is the count
// itself; larger clusters are written as a negative power of two: the byte read as signed
// is -n and the cluster holds 2^n sectors (0xF8: 256, 0xF7: 512, 0xF4: 4096 sectors, the
// 2 MiB of a volume with 512-byte sectors). 0 for any other byte: 0, a count that is no
// power of two, or 0x81 to 0xF3, which no cluster size of any volume has.
uint32_t NtfsSectorsPerCluster(uint8_t byte);

// Bytes of a FILE record (the boot sector's byte at 64) or an index block (the byte at
// 68). Read as signed, a positive byte counts clusters; a negative one, -n, gives 2^n bytes
// (0xF6: 1024), the form every format writes when a cluster is larger than the record.
// 0 when the size is no power of two from kNtfsMinRecordBytes to kNtfsMaxRecordBytes, or
// the byte is 0.
int32_t NtfsRecordBytes(uint8_t byte, int64_t bytesPerCluster);

// What the reader needs from an NTFS boot sector.
struct TNtfsGeometry {
    int32_t BytesPerSector = 0;
    int32_t BytesPerCluster = 0;
    int32_t RecordSize = 0;
    int64_t MftLcn = 0;
    int64_t ClusterCount = 0;  // clusters of the volume as its boot sector gives them
    int32_t IndexBlockSize = 0;  // a folder's index block; 0 when its byte is no size
    uint64_t TotalSectors = 0;   // as written: the volume less its last sector (the backup)
    uint64_t Serial = 0;
};

enum class TNtfsGeometryResult { Ok, NotNtfs, Invalid };

// True for a first sector whose OEM name (the 8 bytes at 3), decoded in the ANSI code
// page and trimmed of blanks and control characters, is "NTFS" in any case. Fewer than
// 512 bytes are no boot sector.
bool IsNtfsBootSector(ByteSpan sector);

// Reads the geometry from the boot sector. NotNtfs when IsNtfsBootSector says no;
// Invalid when the sector size is no power of two from 256 to 4096, the cluster byte
// decodes to nothing or to more than kNtfsMaxClusterBytes, the record size to nothing
// (0), or the $MFT cluster is below 1 (the geometry is still filled so the caller can
// show the values it found). The index block size is decoded but not checked: the reader
// needs none of it to read the $MFT.
TNtfsGeometryResult ReadNtfsGeometry(ByteSpan boot, TNtfsGeometry& geo);

// Where the volume's boot sector was read from.
enum class TNtfsBootCopy { None, Primary, Backup };

// Reads the boot sector at byte 0 of volume, or, when that one is unreadable or no valid
// NTFS boot sector, the backup the format writes in the volume's last sector. A backup is
// taken only where its own sector count puts it: right at the end of this volume, so that
// the last sector of a whole disk (which may be a backup of its last partition only) is
// never read as the boot sector of the disk.
TNtfsBootCopy ReadNtfsBootSector(TByteSource& volume, std::vector<uint8_t>& boot);
// Only the backup, for a caller that has looked at the first sector already.
bool ReadNtfsBackupBootSector(TByteSource& volume, std::vector<uint8_t>& boot);

// The boot sector as the search for lost volumes weighs it: an NTFS boot sector with its
// end mark whose sector and cluster sizes decode, whose sector count fits a disk and
// whose $MFT lies inside it (the record size plays no part). The volume is its sector
// count and one more sector, the backup, which lies there; its structure, the $MFT.
std::optional<TVolumeFacts> NtfsVolumeFacts(ByteSpan sector);
// An $MFT record's "FILE" signature.
bool NtfsStructureLooksRight(const TVolumeFacts& facts, ByteSpan bytes);
// True when the volume holds a valid backup boot sector where its own sector count puts
// it (ReadNtfsBackupBootSector), whatever its first sector holds.
bool HasNtfsBackupBootSector(TByteSource& volume);

} // namespace brivo
