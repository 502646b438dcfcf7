#include "volumes/FsProbe.h"

#include <cstring>
#include <vector>

#include "core/ByteReaders.h"
#include "core/ResilientSource.h"

namespace brivo {

namespace {

bool BytesAt(ByteSpan b, size_t pos, const char* text) {
    const size_t n = std::strlen(text);
    return pos <= b.size() && b.size() - pos >= n && std::memcmp(b.data() + pos, text, n) == 0;
}

std::string ExtName(ByteSpan sb) {
    const uint32_t compat = ReadLe32(sb, 92);
    const uint32_t incompat = ReadLe32(sb, 96);
    const uint32_t roCompat = ReadLe32(sb, 100);
    // extents, 64bit, flex_bg, inline data; huge_file, gdt_csum, dir_nlink, extra_isize, metadata_csum
    if ((incompat & (0x40 | 0x80 | 0x200 | 0x8000)) != 0 || (roCompat & (0x8 | 0x10 | 0x20 | 0x40 | 0x400)) != 0)
        return "ext4";
    if ((compat & 0x4) != 0) return "ext3";
    return "ext2";
}

} // namespace

bool LooksLikeVolumeBootRecord(ByteSpan sector) {
    if (sector.size() < 512) return false;
    for (const TFsInfo& fs : FileSystemTable())
        if (fs.IsVolumeBootRecord && fs.IsVolumeBootRecord(sector)) return true;
    return false;
}

TFsProbe ProbeFileSystem(TByteSource& volume) {
    TFsProbe p;
    constexpr size_t kProbeBytes = 72 * 1024;
    std::vector<uint8_t> head(kProbeBytes, 0);
    int64_t got = volume.ReadAt(0, head.data(), head.size());
    if (got < 0) {
        // A bad sector among the first ones must not hide the file system: what can be
        // read is used, the rest is zeros (the scan names the bad sectors itself).
        const TByteSourcePtr borrowed(std::shared_ptr<TByteSource>(), &volume);
        TResilientSource resilient(borrowed, std::make_shared<TUnreadableMap>());
        got = resilient.ReadAt(0, head.data(), head.size());
    }
    if (got <= 0) return p;
    head.resize(static_cast<size_t>(got));
    const ByteSpan b(head.data(), head.size());

    p.Kind = DetectFileSystemFromHead(b);
    p.EngineReadable = true;
    if (p.Kind != TFsKind::NotRecognised) {
        p.Name = FsKindName(p.Kind);
        return p;
    }

    // Signatures of what only the engine lists.
    if (BytesAt(b, 3, "EXFAT   ")) {
        p.Name = "exFAT";
        return p;
    }
    if (ReadLe16(b, 1024 + 56) == 0xEF53) {
        p.Name = ExtName(b.subspan(std::min<size_t>(b.size(), 1024)));
        return p;
    }
    const uint16_t hfs = static_cast<uint16_t>((ReadU8(b, 1024) << 8) | ReadU8(b, 1025));
    if (hfs == 0x482B) p.Name = "HFS+";
    else if (hfs == 0x4858) p.Name = "HFSX";
    else if (hfs == 0x4244) p.Name = "HFS";
    if (!p.Name.empty()) return p;
    if (BytesAt(b, 32, "NXSB")) {
        p.Name = "APFS";
        return p;
    }
    if (BytesAt(b, 32768 + 1, "CD001")) {
        p.Name = "ISO 9660";
        return p;
    }
    const uint32_t ufs1 = ReadLe32(b, 8192 + 1372);
    const uint32_t ufs2 = ReadLe32(b, 65536 + 1372);
    if (ufs1 == 0x011954 || ufs2 == 0x19540119) {
        p.Name = ufs2 == 0x19540119 ? "UFS2" : "UFS";
        return p;
    }

    // Signatures of what the engine cannot list: named so the user knows what it is.
    p.EngineReadable = false;
    if (BytesAt(b, 0, "XFSB")) p.Name = "XFS";
    else if (BytesAt(b, 65536 + 64, "_BHRfS_M")) p.Name = "Btrfs";
    else if (BytesAt(b, 3, "ReFS")) p.Name = "ReFS";
    else if (ReadLe32(b, 1024) == 0xF2F52010) p.Name = "F2FS";
    else if (BytesAt(b, 0, "LUKS\xba\xbe")) p.Name = "LUKS encrypted";
    else if (BytesAt(b, 512, "LABELONE")) p.Name = "Linux LVM";
    else if (BytesAt(b, 4086, "SWAPSPACE2") || BytesAt(b, 4086, "SWAP-SPACE")) p.Name = "Linux swap";
    else if (BytesAt(b, 32768 + 1, "BEA01") || BytesAt(b, 34816 + 1, "NSR02") || BytesAt(b, 34816 + 1, "NSR03"))
        p.Name = "UDF";
    // Asked last: a volume formatted over another may keep the old one's backup at its end.
    for (const TFsInfo& fs : FileSystemTable()) {
        if (!p.Name.empty()) break;
        if (fs.HasUsableBackup && fs.HasUsableBackup(volume)) {
            // Its own reader reads it through the backup; the engine needs the first sector.
            p.Kind = fs.Kind;
            p.Name = fs.Name;
            p.EngineReadable = false;
        }
    }
    return p;
}

} // namespace brivo
