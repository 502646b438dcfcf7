#pragma once
#include <cstdint>
#include <string>
#include <string_view>

#include "core/ByteReaders.h"
#include "core/FoundFile.h"

namespace brivo {

inline constexpr size_t kExFatEntrySize = 32;
inline constexpr uint8_t kExFatInUse = 0x80;
// Entry types with the in-use bit cleared, as deletion leaves them.
inline constexpr uint8_t kExFatTypeFile = 0x05;
inline constexpr uint8_t kExFatTypeStream = 0x40;
inline constexpr uint8_t kExFatTypeName = 0x41;
inline constexpr uint16_t kExFatAttrDirectory = 0x10;

enum class TExFatSetStatus : uint8_t {
    Ok,
    NotFileEntry,       // the first entry is not a File entry (in use or deleted)
    BadSecondaryCount,  // fewer than a stream and a name, more than 17 names, or names missing
    Truncated,          // the set runs past the bytes given
    BadStream,          // the first secondary is not a Stream Extension, or a name entry is missing
    BadChecksum,
};

// One decoded directory entry set: a File entry, its Stream Extension and File Name
// entries (and any other secondaries, counted in the checksum).
struct TExFatEntrySet {
    TExFatSetStatus Status = TExFatSetStatus::NotFileEntry;
    bool InUse = false;         // the File entry's in-use bit
    int EntryCount = 0;         // 1 + secondary count
    uint16_t Attributes = 0;
    std::u16string Name;
    uint32_t FirstCluster = 0;
    uint64_t DataLength = 0;
    uint64_t ValidDataLength = 0;
    bool NoFatChain = false;
    uint16_t NameHash = 0;      // over the up-cased name, as stored in the stream extension
    bool HasModDate = false;
    TDateTime ModDateUtc = 0;
    bool HasCreateDate = false;
    TDateTime CreateDateUtc = 0;
    // Decoded from the part of a set that its directory's data still holds (the name as
    // far as it goes, no checksum to check): see DecodeExFatCutSet.
    bool Cut = false;

    bool Ok() const { return Status == TExFatSetStatus::Ok; }
    bool IsDir() const { return (Attributes & kExFatAttrDirectory) != 0; }
};

// The set checksum of entries (1 + secondary count of them), counted as if every entry
// were in use: deletion clears the in-use bits after the checksum was written.
uint16_t ExFatSetChecksum(ByteSpan entries);

// Decodes the entry set that starts at bytes[0]. Never reads past bytes; the status says
// why a set is not usable.
TExFatEntrySet DecodeExFatEntrySet(ByteSpan bytes);

// The name hash the stream extension stores, over the name already up-cased.
uint16_t ExFatNameHash(std::u16string_view upcased);

// A set cut off by the end of a deleted directory's data (its later clusters lost with the
// chain): decoded when its File and Stream Extension entries are whole, with the name
// units the entries there hold. Status Ok and Cut set then; the status of
// DecodeExFatEntrySet otherwise.
TExFatEntrySet DecodeExFatCutSet(ByteSpan bytes);

// An exFAT timestamp (the DOS-style date and time, the 10 ms increment and the UTC-offset
// byte) as a UTC TDateTime; local time when no offset is recorded. False for a date that
// does not exist.
bool ExFatTimeToUtc(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset, TDateTime& utc);

} // namespace brivo
