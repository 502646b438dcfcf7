#pragma once
#include <cstdint>
#include <string>

#include "core/ByteReaders.h"
#include "core/FoundFile.h"
#include "platform/CodePages.h"

namespace brivo {

// Directory entry layout: byte 0 the first name byte (0x00 end of directory, 0xE5 deleted,
// 0x2E dot entry, 0x05 stands for a leading 0xE5), 0..10 the 8.3 name, 11 the attributes,
// 20 and 26 the high and low words of the first cluster, 22 time, 24 date, 28 size.
inline constexpr size_t kDirEntrySize = 32;
inline constexpr uint8_t kEntryEnd = 0x00;
inline constexpr uint8_t kEntryDeleted = 0xE5;
inline constexpr uint8_t kEntryDot = 0x2E;
inline constexpr uint8_t kAttrLongName = 0x0F;
inline constexpr uint8_t kAttrVolumeLabel = 0x08;
inline constexpr uint8_t kAttrDirectory = 0x10;
// Byte 12 of a short entry: the base name or the extension is shown in lower case
// (names that were typed so, kept without a long name).
inline constexpr uint8_t kCaseLowerBase = 0x08;
inline constexpr uint8_t kCaseLowerExt = 0x10;

// One named short entry.
struct TFatDirItem {
    std::string Name;
    uint32_t StartCluster = 0;
    uint8_t Attr = 0;
    int64_t SizeBytes = 0;
    int64_t EntryOffset = 0;
    bool HasModDate = false;
    TDateTime ModDateUtc = 0;  // UTC
    bool HasCreateDate = false;
    TDateTime CreateDateUtc = 0;  // UTC
    bool IsDeleted = false;
};

// The 8.3 name decoded from the user's OEM code page (OemCodePage); a byte 0x05 or 0xE5 shows as '_' (a
// deleted entry has lost its first character). As stored, or with the lower-case flags of
// byte 12 applied to ASCII letters as the name is shown. '' when the base name is empty.
std::string DecodeShortName(ByteSpan entry, bool applyCaseFlags = false, int codePage = OemCodePage());
// Checksum of the 11 name bytes that a long-name entry records in its byte 13.
uint8_t LfnChecksum(ByteSpan entry);
// A deleted short entry always matches: the byte that entered the checksum is gone.
bool LfnChecksumMatches(ByteSpan entry, uint8_t expected);
// Local last-write stamp as stored; false for date 0 and for impossible fields.
bool DecodeFatDateTime(uint16_t date, uint16_t time, TDateTime& value);
// The same stamp as UTC: FAT keeps the writer's local time, read here with the local time
// rules of that date.
bool DecodeFatDateTimeUtc(uint16_t date, uint16_t time, TDateTime& utc);
bool IsDotName(const std::string& name);
uint32_t EntryStartCluster(ByteSpan entry);
TFatDirItem MakeFatDirItem(ByteSpan entry, const std::string& name, int64_t entryOffset, bool directoryDeleted);
// "0A FF 20 ..." for the debug lines.
std::string HexBytes(ByteSpan bytes);
// Two upper-case hexadecimal digits.
std::string Hex2(uint8_t v);
void AppendHexBytes(std::string& out, ByteSpan bytes);
void AppendHex2(std::string& out, uint8_t v);

} // namespace brivo
