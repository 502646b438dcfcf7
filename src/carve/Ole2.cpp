#include <cstring>
#include <string_view>

#include "carve/CarveFormat.h"
#include "core/ByteReaders.h"

namespace brivo::carve {

namespace {

constexpr uint32_t kFree = 0xFFFFFFFF, kEndOfChain = 0xFFFFFFFE, kMaxRegular = 0xFFFFFFFA;

// The kind of document from the stream names in the first directory sector.
std::string ExtFromDirectory(TCarveInput& in, uint64_t at, uint32_t sectorSize) {
    std::vector<uint8_t> s(sectorSize);
    if (in.Read(at, s.data(), s.size()) != s.size()) return "ole";
    std::string ext = "ole";
    for (uint32_t e = 0; e + 128 <= sectorSize; e += 128) {
        const ByteSpan b(s.data() + e, 128);
        const uint32_t len = ReadLe16(b, 64);
        if (len < 2 || len > 64) continue;
        std::string name;
        for (uint32_t i = 0; i + 2 < len; i += 2) name.push_back(static_cast<char>(b[i] ? b[i] : '?'));
        if (name == "WordDocument") return "doc";
        if (name == "Workbook" || name == "Book") return "xls";
        if (name == "PowerPoint Document") return "ppt";
        if (name == "VisioDocument") return "vsd";
        if (name.starts_with("__substg1.0_") || name == "__properties_version1.0") ext = "msg";
    }
    return ext;
}

} // namespace

// A compound file is as long as its last allocated sector: the FAT sectors (listed in the
// header and the DIFAT chain) are read and the highest sector in use found.
TCarveHit WalkOle2(TCarveInput& in) {
    static const uint8_t kSig[8] = {0xD0, 0xCF, 0x11, 0xE0, 0xA1, 0xB1, 0x1A, 0xE1};
    uint8_t h[512];
    if (in.Read(0, h, 512) != 512 || std::memcmp(h, kSig, 8) != 0) return {};
    const ByteSpan b(h, 512);
    const uint32_t major = ReadLe16(b, 0x1A), shift = ReadLe16(b, 0x1E);
    if (ReadLe16(b, 0x1C) != 0xFFFE || !((major == 3 && shift == 9) || (major == 4 && shift == 12))) return {};
    if (ReadLe16(b, 0x20) != 6) return {};
    const uint32_t ss = 1u << shift;
    const uint32_t numFat = ReadLe32(b, 0x2C);
    const uint32_t perSector = ss / 4;
    // Not more FAT sectors than could describe a 2^32-sector file.
    if (numFat == 0 || numFat > (1u << 30) / perSector) return {};
    std::vector<uint32_t> fat;
    for (uint32_t i = 0; i < 109 && fat.size() < numFat; ++i) fat.push_back(ReadLe32(b, 0x4C + 4 * i));
    uint32_t difat = ReadLe32(b, 0x44);
    std::vector<uint8_t> s(ss);
    for (uint32_t hops = 0; fat.size() < numFat && difat <= kMaxRegular && hops < numFat; ++hops) {
        if (in.Read((uint64_t{difat} + 1) * ss, s.data(), ss) != ss) break;
        for (uint32_t i = 0; i + 1 < perSector && fat.size() < numFat; ++i) fat.push_back(ReadLe32(ByteSpan(s), 4 * i));
        difat = ReadLe32(ByteSpan(s), 4 * (perSector - 1));
    }
    const std::string ext = ExtFromDirectory(in, (uint64_t{ReadLe32(b, 0x30)} + 1) * ss, ss);
    uint64_t highest = 0;
    bool any = false, unread = fat.size() < numFat;
    for (uint32_t k = 0; k < fat.size(); ++k) {
        if (fat[k] > kMaxRegular) return {};
        if (in.Read((uint64_t{fat[k]} + 1) * ss, s.data(), ss) != ss) {
            unread = true;
            continue;
        }
        for (uint32_t i = 0; i < perSector; ++i) {
            const uint32_t v = ReadLe32(ByteSpan(s), 4 * i);
            if (v != kFree) {
                if (v > kMaxRegular && v != kEndOfChain && v != 0xFFFFFFFD && v != 0xFFFFFFFC) return {};
                highest = uint64_t{k} * perSector + i;
                any = true;
            }
        }
    }
    if (!any) return {};
    const uint64_t end = (highest + 2) * ss;
    if (unread || end > in.Size()) return Ended(TCarveEnd::CutShort, std::min(end, in.Size()), ext);
    // The streams' sectors carry no check: proven is the header only.
    return Unchecked(end, ss, ext);
}

} // namespace brivo::carve
