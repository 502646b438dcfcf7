#include "exfat/ExFatEntrySet.h"

#include <algorithm>
#include <vector>

#include "platform/DateTime.h"

namespace brivo {

namespace {
// A File entry holds at most a stream and 17 name entries (255 UTF-16 units) plus a few
// vendor entries; the format caps the secondary count at 18.
constexpr int kMaxSecondary = 18;
constexpr size_t kNameUnitsPerEntry = 15;
} // namespace

uint16_t ExFatSetChecksum(ByteSpan entries) {
    uint16_t sum = 0;
    for (size_t i = 0; i < entries.size(); ++i) {
        if (i == 2 || i == 3) continue;
        uint8_t b = entries[i];
        if (i % kExFatEntrySize == 0) b |= kExFatInUse;
        sum = static_cast<uint16_t>(((sum & 1) ? 0x8000 : 0) + (sum >> 1) + b);
    }
    return sum;
}

uint16_t ExFatNameHash(std::u16string_view upcased) {
    uint16_t h = 0;
    for (const char16_t u : upcased)
        for (const uint8_t b : {static_cast<uint8_t>(u & 0xFF), static_cast<uint8_t>(u >> 8)})
            h = static_cast<uint16_t>(((h & 1) ? 0x8000 : 0) + (h >> 1) + b);
    return h;
}

bool ExFatTimeToUtc(uint32_t stamp, uint8_t tenMs, uint8_t utcOffset, TDateTime& utc) {
    if (stamp == 0) return false;
    const int second = static_cast<int>(stamp & 0x1F) * 2 + (tenMs < 200 ? tenMs / 100 : 0);
    const int minute = static_cast<int>((stamp >> 5) & 0x3F);
    const int hour = static_cast<int>((stamp >> 11) & 0x1F);
    const int day = static_cast<int>((stamp >> 16) & 0x1F);
    const int month = static_cast<int>((stamp >> 21) & 0x0F);
    const int year = 1980 + static_cast<int>(stamp >> 25);
    if (second > 59 || minute > 59 || hour > 23 || !IsValidDate(year, month, day)) return false;
    const int ms = tenMs < 200 ? (tenMs % 100) * 10 : 0;
    if (utcOffset & 0x80) {
        // Seven-bit signed count of 15-minute steps east of UTC.
        int steps = utcOffset & 0x7F;
        if (steps >= 64) steps -= 128;
        utc = EncodeDateTime(year, month, day, hour, minute, second, ms) - steps * 15.0 / 1440.0;
        return true;
    }
    if (!LocalFieldsToUtcDateTime(year, month, day, hour, minute, second, utc)) return false;
    utc += ms / 86400000.0;
    return true;
}

TExFatEntrySet DecodeExFatEntrySet(ByteSpan b) {
    TExFatEntrySet s;
    if (b.size() < kExFatEntrySize || (b[0] & 0x7F) != kExFatTypeFile) return s;
    s.InUse = (b[0] & kExFatInUse) != 0;
    const int secondary = b[1];
    if (secondary < 2 || secondary > kMaxSecondary) {
        s.Status = TExFatSetStatus::BadSecondaryCount;
        return s;
    }
    s.EntryCount = 1 + secondary;
    const size_t bytes = static_cast<size_t>(s.EntryCount) * kExFatEntrySize;
    if (b.size() < bytes) {
        s.Status = TExFatSetStatus::Truncated;
        return s;
    }
    const ByteSpan set = b.first(bytes);
    const ByteSpan stream = set.subspan(kExFatEntrySize, kExFatEntrySize);
    // Every entry of a set shares the File entry's in-use state.
    if ((stream[0] & 0x7F) != kExFatTypeStream || (stream[0] & kExFatInUse) != (b[0] & kExFatInUse)) {
        s.Status = TExFatSetStatus::BadStream;
        return s;
    }
    const size_t nameLength = stream[3];
    const size_t nameEntries = (nameLength + kNameUnitsPerEntry - 1) / kNameUnitsPerEntry;
    if (nameLength == 0 || nameEntries > static_cast<size_t>(secondary - 1)) {
        s.Status = TExFatSetStatus::BadSecondaryCount;
        return s;
    }
    for (size_t i = 0; i < nameEntries; ++i) {
        const uint8_t t = set[(2 + i) * kExFatEntrySize];
        if ((t & 0x7F) != kExFatTypeName || (t & kExFatInUse) != (b[0] & kExFatInUse)) {
            s.Status = TExFatSetStatus::BadStream;
            return s;
        }
    }
    if (ExFatSetChecksum(set) != ReadLe16(set, 2)) {
        s.Status = TExFatSetStatus::BadChecksum;
        return s;
    }
    s.Attributes = ReadLe16(set, 4);
    s.NoFatChain = (stream[1] & 0x02) != 0;
    s.NameHash = ReadLe16(stream, 4);
    s.ValidDataLength = ReadLe64(stream, 8);
    s.FirstCluster = ReadLe32(stream, 20);
    s.DataLength = ReadLe64(stream, 24);
    s.Name.reserve(nameLength);
    for (size_t i = 0; i < nameLength; ++i)
        s.Name.push_back(static_cast<char16_t>(
            ReadLe16(set, static_cast<int64_t>((2 + i / kNameUnitsPerEntry) * kExFatEntrySize + 2 + (i % kNameUnitsPerEntry) * 2))));
    s.HasModDate = ExFatTimeToUtc(ReadLe32(set, 12), set[21], set[23], s.ModDateUtc);
    s.HasCreateDate = ExFatTimeToUtc(ReadLe32(set, 8), set[20], set[22], s.CreateDateUtc);
    s.Status = TExFatSetStatus::Ok;
    return s;
}

TExFatEntrySet DecodeExFatCutSet(ByteSpan b) {
    TExFatEntrySet s = DecodeExFatEntrySet(b);
    if (s.Status != TExFatSetStatus::Truncated || b.size() < 2 * kExFatEntrySize) return s;
    // Lay out what is there in a whole set's room, with the missing name entries blank
    // and the checksum made to agree, and decode that.
    std::vector<uint8_t> whole(static_cast<size_t>(s.EntryCount) * kExFatEntrySize, 0);
    const size_t have = b.size() / kExFatEntrySize * kExFatEntrySize;
    std::copy(b.begin(), b.begin() + static_cast<std::ptrdiff_t>(have), whole.begin());
    for (size_t at = have; at < whole.size(); at += kExFatEntrySize) whole[at] = static_cast<uint8_t>(kExFatTypeName | (b[0] & kExFatInUse));
    const uint16_t sum = ExFatSetChecksum(whole);
    whole[2] = static_cast<uint8_t>(sum);
    whole[3] = static_cast<uint8_t>(sum >> 8);
    TExFatEntrySet cut = DecodeExFatEntrySet(whole);
    if (!cut.Ok()) return s;
    // The units the missing entries would have held are not part of the name.
    const size_t units = have > 2 * kExFatEntrySize ? (have / kExFatEntrySize - 2) * 15 : 0;
    if (cut.Name.size() > units) cut.Name.resize(units);
    while (!cut.Name.empty() && cut.Name.back() == 0) cut.Name.pop_back();
    if (cut.Name.empty()) return s;
    cut.Cut = true;
    return cut;
}

} // namespace brivo
