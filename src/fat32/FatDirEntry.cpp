#include "fat32/FatDirEntry.h"

#include <algorithm>

#include "platform/CodePages.h"
#include "platform/DateTime.h"

namespace brivo {

namespace {

// One space-padded part of the 8.3 name: stops at 0x00, marks 0x05 / 0xE5, drops the padding.
std::string ShortNamePart(ByteSpan entry, size_t from, size_t len, bool lower, int codePage) {
    std::string bytes;
    bool ascii = true;
    for (size_t i = from; i < from + len; ++i) {
        uint8_t b = entry[i];
        if (b == 0x00) break;
        if (b == 0x05 || b == kEntryDeleted) b = '_';
        if (lower && b >= 'A' && b <= 'Z') b = static_cast<uint8_t>(b - 'A' + 'a');
        if (b >= 0x80) ascii = false;
        bytes.push_back(static_cast<char>(b));
    }
    while (!bytes.empty() && bytes.back() == ' ') bytes.pop_back();
    // The OEM code pages agree with ASCII below 0x80; most names never need the table.
    if (ascii || bytes.empty()) return bytes;
    return DecodeCodePage(bytes, codePage);
}

} // namespace

std::string DecodeShortName(ByteSpan entry, bool applyCaseFlags, int codePage) {
    if (entry.size() < 11) return {};
    const uint8_t flags = applyCaseFlags ? ReadU8(entry, 12) : 0;
    std::string base = ShortNamePart(entry, 0, 8, flags & kCaseLowerBase, codePage);
    if (base.empty()) return {};
    const std::string ext = ShortNamePart(entry, 8, 3, flags & kCaseLowerExt, codePage);
    if (!ext.empty()) {
        base += '.';
        base += ext;
    }
    return base;
}

uint8_t LfnChecksum(ByteSpan entry) {
    if (entry.size() < 11) return 0;
    uint8_t s = 0;
    for (size_t i = 0; i < 11; ++i) s = static_cast<uint8_t>(((s & 1) << 7) + (s >> 1) + entry[i]);
    return s;
}

bool LfnChecksumMatches(ByteSpan entry, uint8_t expected) {
    if (entry.size() < 11) return false;
    if (entry[0] == kEntryDeleted) return true;
    return LfnChecksum(entry) == expected;
}

namespace {

struct TFatStamp {
    int Year, Month, Day, Hour, Minute, Second;
};

bool SplitFatStamp(uint16_t date, uint16_t time, TFatStamp& s) {
    if (date == 0) return false;
    s = {((date >> 9) & 0x7F) + 1980, (date >> 5) & 0x0F, date & 0x1F, (time >> 11) & 0x1F, (time >> 5) & 0x3F,
         (time & 0x1F) * 2};
    return IsValidDate(s.Year, s.Month, s.Day) && s.Hour <= 23 && s.Minute <= 59 && s.Second <= 59;
}

} // namespace

bool DecodeFatDateTime(uint16_t date, uint16_t time, TDateTime& value) {
    value = 0;
    TFatStamp s;
    if (!SplitFatStamp(date, time, s)) return false;
    value = EncodeDateTime(s.Year, s.Month, s.Day, s.Hour, s.Minute, s.Second);
    return true;
}

bool DecodeFatDateTimeUtc(uint16_t date, uint16_t time, TDateTime& utc) {
    utc = 0;
    TFatStamp s;
    if (!SplitFatStamp(date, time, s)) return false;
    if (!LocalFieldsToUtcDateTime(s.Year, s.Month, s.Day, s.Hour, s.Minute, s.Second, utc)) {
        utc = 0;
        return false;
    }
    return true;
}

bool IsDotName(const std::string& name) { return name == "." || name == ".."; }

uint32_t EntryStartCluster(ByteSpan entry) {
    return (uint32_t{ReadLe16(entry, 20)} << 16) | ReadLe16(entry, 26);
}

TFatDirItem MakeFatDirItem(ByteSpan entry, const std::string& name, int64_t entryOffset, bool directoryDeleted) {
    TFatDirItem item;
    item.Name = name;
    item.StartCluster = EntryStartCluster(entry);
    item.Attr = ReadU8(entry, 11);
    item.SizeBytes = ReadLe32(entry, 28);
    item.EntryOffset = entryOffset;
    item.IsDeleted = ReadU8(entry, 0) == kEntryDeleted || directoryDeleted;
    item.HasModDate = DecodeFatDateTimeUtc(ReadLe16(entry, 24), ReadLe16(entry, 22), item.ModDateUtc);
    // The creation stamp has a byte of 10 ms units on top of its 2-second time; writers
    // that keep no creation time leave it all zero, which decodes to nothing.
    item.HasCreateDate = DecodeFatDateTimeUtc(ReadLe16(entry, 16), ReadLe16(entry, 14), item.CreateDateUtc);
    if (item.HasCreateDate) item.CreateDateUtc += std::min<int>(ReadU8(entry, 13), 199) / 100.0 / 86400.0;
    return item;
}

namespace {
constexpr char kHexDigits[] = "0123456789ABCDEF";
}

std::string Hex2(uint8_t v) { return {kHexDigits[v >> 4], kHexDigits[v & 0x0F]}; }

void AppendHex2(std::string& out, uint8_t v) {
    out.push_back(kHexDigits[v >> 4]);
    out.push_back(kHexDigits[v & 0x0F]);
}

void AppendHexBytes(std::string& out, ByteSpan bytes) {
    if (bytes.empty()) return;
    const size_t at = out.size();
    out.resize(at + bytes.size() * 3 - 1, ' ');
    for (size_t i = 0; i < bytes.size(); ++i) {
        out[at + 3 * i] = kHexDigits[bytes[i] >> 4];
        out[at + 3 * i + 1] = kHexDigits[bytes[i] & 0x0F];
    }
}

std::string HexBytes(ByteSpan bytes) {
    std::string out;
    AppendHexBytes(out, bytes);
    return out;
}

} // namespace brivo
