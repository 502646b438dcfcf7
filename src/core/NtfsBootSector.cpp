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

bool IsPowerOfTwo(int64_t v) { return v > 0 && (v & (v - 1)) == 0; }

} // namespace

uint32_t NtfsSectorsPerCluster(uint8_t byte) {
    if (byte <= 0x80) return IsPowerOfTwo(byte) ? byte : 0;
    // 0xF4 is -12: 2^12 sectors, 2 MiB at 512 bytes each.
    return byte >= 0xF4 ? uint32_t{1} << (256 - byte) : 0;
}

int32_t NtfsRecordBytes(uint8_t byte, int64_t bytesPerCluster) {
    const int c = static_cast<int8_t>(byte);
    int64_t bytes = 0;
    if (c < 0) {
        // Refused before the shift: 2^-c would not fit for most of the bytes.
        if (-c > 30) return 0;
        bytes = int64_t{1} << -c;
    } else if (bytesPerCluster > 0 && bytesPerCluster <= kNtfsMaxRecordBytes) {
        bytes = c * bytesPerCluster;
    }
    return IsPowerOfTwo(bytes) && bytes >= kNtfsMinRecordBytes && bytes <= kNtfsMaxRecordBytes
               ? static_cast<int32_t>(bytes)
               : 0;
}

bool IsNtfsBootSector(ByteSpan sector) {
    return sector.size() >= 512 && EqualsAsciiNoCase(TextField(sector, 3, 8), "NTFS");
}

TNtfsGeometryResult ReadNtfsGeometry(ByteSpan boot, TNtfsGeometry& geo) {
    geo = {};
    if (!IsNtfsBootSector(boot)) return TNtfsGeometryResult::NotNtfs;
    geo.BytesPerSector = ReadLe16(boot, 11);
    const int64_t sectorsPerCluster = NtfsSectorsPerCluster(ReadU8(boot, 13));
    const int64_t clusterBytes = int64_t{geo.BytesPerSector} * sectorsPerCluster;
    geo.BytesPerCluster = clusterBytes <= kNtfsMaxClusterBytes ? static_cast<int32_t>(clusterBytes) : 0;
    geo.MftLcn = static_cast<int64_t>(ReadLe64(boot, 48));
    geo.ClusterCount = static_cast<int64_t>(
        std::min<uint64_t>(ReadLe64(boot, 40) / static_cast<uint64_t>(std::max<int64_t>(sectorsPerCluster, 1)),
                           INT64_MAX / 2));
    geo.RecordSize = NtfsRecordBytes(ReadU8(boot, 64), geo.BytesPerCluster);
    geo.IndexBlockSize = NtfsRecordBytes(ReadU8(boot, 68), geo.BytesPerCluster);
    geo.TotalSectors = ReadLe64(boot, 40);
    geo.Serial = ReadLe64(boot, 72);
    if (!IsPowerOfTwo(geo.BytesPerSector) || geo.BytesPerSector < 256 || geo.BytesPerSector > 4096 ||
        geo.BytesPerCluster < 1 || geo.RecordSize < 1 || geo.MftLcn < 1)
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

bool HasNtfsBackupBootSector(TByteSource& volume) {
    std::vector<uint8_t> boot;
    return ReadNtfsBackupBootSector(volume, boot);
}

std::optional<TVolumeFacts> NtfsVolumeFacts(ByteSpan s) {
    // No volume is larger: keeps every product of a sector count and a sector size in range.
    constexpr uint64_t kMaxVolumeBytes = uint64_t{1} << 56;
    TNtfsGeometry geo;
    if (ReadNtfsGeometry(s, geo) == TNtfsGeometryResult::NotNtfs || ReadLe16(s, 510) != 0xAA55) return {};
    const uint64_t bps = static_cast<uint64_t>(geo.BytesPerSector);
    if (bps < 256 || bps > 4096 || !IsPowerOfTwo(geo.BytesPerSector) || geo.BytesPerCluster < 1) return {};
    if (geo.TotalSectors == 0 || geo.TotalSectors >= kMaxVolumeBytes / bps || geo.MftLcn < 1 ||
        geo.MftLcn > geo.ClusterCount)
        return {};
    TVolumeFacts f;
    f.Kind = TFsKind::Ntfs;
    f.BytesPerSector = static_cast<uint32_t>(bps);
    // The sector count leaves out the last sector, which holds the backup.
    f.LengthBytes = (geo.TotalSectors + 1) * bps;
    f.BackupOffset = geo.TotalSectors * bps;
    f.StructureOffset = static_cast<uint64_t>(geo.MftLcn) * static_cast<uint64_t>(geo.BytesPerCluster);
    f.Serial = geo.Serial;
    f.ClusterBytes = static_cast<uint32_t>(geo.BytesPerCluster);
    f.CopyBytes = bps;
    f.MayBeBackup = true;
    return f;
}

bool NtfsStructureLooksRight(const TVolumeFacts&, ByteSpan b) {
    return b.size() >= 4 && b[0] == 'F' && b[1] == 'I' && b[2] == 'L' && b[3] == 'E';
}

} // namespace brivo
