#include "core/NtfsBootSector.h"

#include <algorithm>
#include <string>

#include "platform/CodePages.h"

namespace brivo {

namespace {

bool IsBlankOrControl(char32_t c) { return c <= 0x20 || (c >= 0x7F && c <= 0x9F); }

// An 8-byte text field decoded in the ANSI code page, trimmed of blanks and control
// characters at both ends.
std::u32string TextField(ByteSpan sector, size_t offset, size_t width) {
    const auto& table = CodePageTable(AnsiCodePage());
    std::u32string s;
    for (size_t i = 0; i < width && offset + i < sector.size(); ++i) s.push_back(table[sector[offset + i]]);
    size_t b = 0, e = s.size();
    while (b < e && IsBlankOrControl(s[b])) ++b;
    while (e > b && IsBlankOrControl(s[e - 1])) --e;
    return s.substr(b, e - b);
}

// Case-insensitive for ASCII letters only; word is upper-case ASCII.
bool EqualsAsciiNoCase(const std::u32string& text, const char* word) {
    size_t i = 0;
    for (; word[i] != '\0'; ++i) {
        if (i >= text.size()) return false;
        char32_t c = text[i];
        if (c >= 'a' && c <= 'z') c = c - 'a' + 'A';
        if (c != static_cast<char32_t>(static_cast<unsigned char>(word[i]))) return false;
    }
    return i == text.size();
}

// Values that do not fit the 32-bit fields count as invalid rather than wrapping.
int32_t ClampToInt32(int64_t v) { return (v > INT32_MAX || v < INT32_MIN) ? -1 : static_cast<int32_t>(v); }

} // namespace

bool IsNtfsBootSector(ByteSpan sector) {
    return sector.size() >= 512 && EqualsAsciiNoCase(TextField(sector, 3, 8), "NTFS");
}

TNtfsGeometryResult ReadNtfsGeometry(ByteSpan boot, TNtfsGeometry& geo) {
    geo = {};
    if (!IsNtfsBootSector(boot)) return TNtfsGeometryResult::NotNtfs;
    geo.BytesPerSector = ReadLe16(boot, 11);
    // Sectors per cluster is taken as a plain count: 0x80 with 512-byte sectors is 64 KiB.
    const uint64_t sectorsPerCluster = ReadU8(boot, 13);
    geo.BytesPerCluster = geo.BytesPerSector * static_cast<int32_t>(sectorsPerCluster);
    geo.MftLcn = static_cast<int64_t>(ReadLe64(boot, 48));
    geo.ClusterCount = static_cast<int64_t>(
        std::min<uint64_t>(ReadLe64(boot, 40) / std::max<uint64_t>(sectorsPerCluster, 1), INT64_MAX / 2));
    const int8_t c = static_cast<int8_t>(ReadU8(boot, 64));
    if (c < 0) {
        // 2^|c| bytes; the shift count wraps at 32 and 2^31 does not fit a positive size.
        geo.RecordSize = ClampToInt32(int64_t{1} << ((-static_cast<int>(c)) % 32));
    } else {
        geo.RecordSize = ClampToInt32(static_cast<int64_t>(c) * geo.BytesPerCluster);
    }
    if (geo.BytesPerSector < 1 || geo.BytesPerCluster < 1 || geo.RecordSize < 1 || geo.MftLcn < 1)
        return TNtfsGeometryResult::Invalid;
    return TNtfsGeometryResult::Ok;
}

namespace {

bool ReadSector(TByteSource& volume, uint64_t offset, std::vector<uint8_t>& out) {
    out.assign(512, 0);
    return volume.ReadAt(offset, out.data(), out.size()) == static_cast<int64_t>(out.size());
}

} // namespace

bool ReadNtfsBackupBootSector(TByteSource& volume, std::vector<uint8_t>& boot) {
    TNtfsGeometry geo;
    const uint64_t size = volume.Size();
    std::vector<uint8_t> backup;
    // The backup fills the last sector, whichever sector size the volume has.
    for (const uint64_t sector : {uint64_t{512}, uint64_t{4096}}) {
        if (size < 2 * sector) continue;
        const uint64_t at = size - sector;
        if (!ReadSector(volume, at, backup) || ReadNtfsGeometry(backup, geo) != TNtfsGeometryResult::Ok) continue;
        const uint64_t sectors = ReadLe64(backup, 40);
        if (static_cast<uint64_t>(geo.BytesPerSector) != sector || sectors > at / sector || sectors * sector != at)
            continue;
        boot = std::move(backup);
        return true;
    }
    return false;
}

TNtfsBootCopy ReadNtfsBootSector(TByteSource& volume, std::vector<uint8_t>& boot) {
    TNtfsGeometry geo;
    if (ReadSector(volume, 0, boot) && ReadNtfsGeometry(boot, geo) == TNtfsGeometryResult::Ok)
        return TNtfsBootCopy::Primary;
    return ReadNtfsBackupBootSector(volume, boot) ? TNtfsBootCopy::Backup : TNtfsBootCopy::None;
}

} // namespace brivo
