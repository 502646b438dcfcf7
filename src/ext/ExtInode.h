#pragma once
#include <array>
#include <cstdint>
#include <optional>
#include <vector>

#include "core/ByteReaders.h"
#include "core/ExtSuperblock.h"

namespace brivo {

inline constexpr uint32_t kExtRootInode = 2;

// Inode flags that change how its content is found.
inline constexpr uint32_t kExtIndexFl = 0x1000;         // hashed (htree) directory
inline constexpr uint32_t kExtHugeFileFl = 0x40000;
inline constexpr uint32_t kExtExtentsFl = 0x80000;
inline constexpr uint32_t kExtEaInodeFl = 0x200000;
inline constexpr uint32_t kExtInlineDataFl = 0x10000000;

// Directory entry and inode file types.
enum class TExtFileType : uint8_t { Unknown = 0, Regular = 1, Dir = 2, CharDev = 3, BlockDev = 4, Fifo = 5, Socket = 6, Symlink = 7 };

// A time stamp: seconds since 1970 (the extra epoch bits make it reach past 2038) and
// nanoseconds when the inode is large enough to keep them.
struct TExtTime {
    int64_t Seconds = 0;
    uint32_t Nanos = 0;
    bool Present = false;   // the field exists in this inode (crtime needs a large inode)
};

struct TExtInode {
    uint32_t Number = 0;
    uint16_t Mode = 0;
    uint32_t Uid = 0, Gid = 0;
    uint64_t Size = 0;          // with the high part
    uint16_t Links = 0;
    uint64_t Blocks = 0;        // in 512-byte units, or in blocks with HUGE_FILE
    uint32_t Flags = 0;
    uint32_t Generation = 0;
    uint64_t FileAcl = 0;
    std::array<uint8_t, 60> Block{};   // i_block as stored: extent root, block map or inline bytes
    TExtTime Atime, Ctime, Mtime, Crtime;
    uint32_t Dtime = 0;         // deletion time; on live orphans the next orphan's number
    uint16_t ExtraIsize = 0;
    uint32_t Checksum = 0;
    bool ChecksumOk = true;     // true also when the volume keeps no inode checksum

    TExtFileType Type() const;
    bool IsDir() const { return (Mode & 0xF000) == 0x4000; }
    bool IsRegular() const { return (Mode & 0xF000) == 0x8000; }
    bool IsSymlink() const { return (Mode & 0xF000) == 0xA000; }
    bool UsesExtents() const { return (Flags & kExtExtentsFl) != 0; }
    bool HasInlineData() const { return (Flags & kExtInlineDataFl) != 0; }
    bool IsHtree() const { return (Flags & kExtIndexFl) != 0; }
    // A symlink whose target sits in i_block (no data block).
    bool IsFastSymlink() const;
    // Never used since the inode table was made: all zero.
    bool IsUnused() const { return Mode == 0 && Links == 0 && Size == 0 && Ctime.Seconds == 0 && Dtime == 0; }
};

// Decodes the raw bytes of inode `number` (the inode size of the volume, at least 128).
// Nothing when fewer than 128 bytes are given or the extra size runs past the inode.
std::optional<TExtInode> DecodeExtInode(ByteSpan raw, const TExtSuperblock& sb, uint32_t number);

// The bytes of an inline-data inode: the 60 bytes of i_block followed by the value of its
// "system.data" attribute in the inode's extra space, cut to its size.
std::vector<uint8_t> ExtInlineData(ByteSpan raw, const TExtInode& inode);

// Seconds since 1970 and nanoseconds as a TDateTime-style day count is the driver's
// business; this gives the Unix time with the fraction.
inline double ExtUnixTime(const TExtTime& t) { return static_cast<double>(t.Seconds) + t.Nanos / 1e9; }

} // namespace brivo
