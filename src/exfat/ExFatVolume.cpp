#include "exfat/ExFatVolume.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "core/Text.h"

namespace brivo {

namespace {

// A bitmap or up-case table larger than this is not believed (2^32 clusters need 512 MiB
// of bitmap; the up-case table maps at most 65,536 units).
constexpr uint64_t kMaxBitmapBytes = (uint64_t{1} << 32) / 8;
constexpr uint64_t kMaxUpcaseBytes = 2 * 65536 * 2;
constexpr size_t kFatCacheSectors = 4096;

bool TryBootRegion(TByteSource& src, uint64_t at, TExFatBoot& boot, std::string& why) {
    uint8_t first[512];
    if (!src.ReadExact(at, first, sizeof first)) {
        why = "the boot sector cannot be read";
        return false;
    }
    if (!ParseExFatBootSector(ByteSpan(first, sizeof first), boot, why)) return false;
    const uint32_t bps = boot.BytesPerSector;
    std::vector<uint8_t> region(size_t{bps} * kExFatBootRegionSectors);
    if (!src.ReadExact(at, region.data(), region.size())) {
        why = "the boot region cannot be read";
        return false;
    }
    const uint32_t sum = ExFatBootChecksum(region, bps);
    const ByteSpan check = ByteSpan(region).subspan(size_t{bps} * 11, bps);
    for (uint32_t i = 0; i + 4 <= bps; i += 4)
        if (ReadLe32(check, i) != sum) {
            why = "the boot checksum does not match";
            return false;
        }
    return true;
}

} // namespace

TExFatVolume::TExFatVolume(TByteSource& src) : src_(src) {
    std::string why, whyBackup;
    if (!TryBootRegion(src, 0, boot_, why)) {
        // The backup region is 12 sectors in; its sector size is its own to state, so
        // every size exFAT allows is tried.
        bool ok = false;
        for (uint32_t bps = 512; bps <= 4096 && !ok; bps *= 2) {
            std::string w;
            TExFatBoot b;
            if (TryBootRegion(src, uint64_t{bps} * kExFatBootRegionSectors, b, w) && b.BytesPerSector == bps) {
                boot_ = b;
                boot_.FromBackup = true;
                ok = true;
            } else if (whyBackup.empty()) {
                whyBackup = w;
            }
        }
        if (!ok) throw std::runtime_error("Not a usable exFAT volume: " + why + ".");
    }
    ReadRootMetadata();
}

bool TExFatVolume::IsAllocated(uint32_t c) const {
    if (!IsDataCluster(c) || bitmap_.empty()) return true;
    const uint64_t bit = uint64_t{c} - kExFatFirstCluster;
    if (bit / 8 >= bitmap_.size()) return true;
    return (bitmap_[bit / 8] >> (bit % 8)) & 1;
}

uint32_t TExFatVolume::FatEntry(uint32_t c) {
    if (!IsDataCluster(c)) return 0;
    const uint64_t byte = uint64_t{c} * 4;
    const uint32_t bps = boot_.BytesPerSector;
    const uint64_t sector = byte / bps;
    auto it = fatCache_.find(sector);
    if (it == fatCache_.end()) {
        if (fatCache_.size() >= kFatCacheSectors) fatCache_.clear();
        std::vector<uint8_t> buf(bps);
        if (!src_.ReadExact(boot_.FatOffset + sector * bps, buf.data(), bps)) buf.clear();
        it = fatCache_.emplace(sector, std::move(buf)).first;
    }
    return ReadLe32(it->second, static_cast<int64_t>(byte % bps));
}

bool TExFatVolume::ReadStream(uint32_t first, uint64_t length, bool contiguous, std::vector<uint8_t>& out) {
    out.clear();
    if (!IsDataCluster(first) || length == 0) return false;
    const uint64_t bpc = boot_.BytesPerCluster;
    const uint64_t clusters = (length + bpc - 1) / bpc;
    if (clusters > boot_.ClusterCount) return false;
    // Grown as reads succeed: a hostile length never buys more memory than the source holds.
    uint32_t c = first;
    for (uint64_t i = 0; i < clusters; ++i) {
        out.resize((i + 1) * bpc);
        if (!ReadCluster(c, out.data() + i * bpc)) return false;
        if (i + 1 == clusters) break;
        if (contiguous) {
            ++c;
        } else {
            c = FatEntry(c);
        }
        if (!IsDataCluster(c)) return false;
    }
    out.resize(length);
    return true;
}

void TExFatVolume::ReadRootMetadata() {
    // The root's first cluster is enough for the bitmap and up-case entries, which
    // formatting writes first.
    std::vector<uint8_t> root(boot_.BytesPerCluster);
    if (!ReadCluster(boot_.RootCluster, root.data()))
        throw std::runtime_error("Not a usable exFAT volume: the root directory cannot be read.");
    for (size_t i = 0; i + 32 <= root.size(); i += 32) {
        const ByteSpan e = ByteSpan(root).subspan(i, 32);
        if (e[0] == 0) break;
        const uint32_t first = ReadLe32(e, 20);
        const uint64_t length = ReadLe64(e, 24);
        if (e[0] == 0x81 && !(e[1] & 1) && bitmap_.empty()) LoadBitmap(first, length, false);
        if (e[0] == 0x82 && upcase_.empty()) LoadUpcase(first, length, false);
    }
}

void TExFatVolume::LoadBitmap(uint32_t first, uint64_t length, bool contiguous) {
    const uint64_t need = (uint64_t{boot_.ClusterCount} + 7) / 8;
    if (length < need || length > kMaxBitmapBytes) return;
    std::vector<uint8_t> bytes;
    if (!ReadStream(first, need, contiguous, bytes)) return;
    bitmap_ = std::move(bytes);
    bitmapCluster_ = first;
}

void TExFatVolume::LoadUpcase(uint32_t first, uint64_t length, bool contiguous) {
    if (length < 2 || length > kMaxUpcaseBytes) return;
    std::vector<uint8_t> bytes;
    if (!ReadStream(first, length, contiguous, bytes)) return;
    // Stored compressed: 0xFFFF followed by a count stands for that many units that map
    // to themselves.
    std::vector<char16_t> table;
    table.reserve(65536);
    for (size_t i = 0; i + 1 < bytes.size() && table.size() < 65536; i += 2) {
        const char16_t u = static_cast<char16_t>(ReadLe16(bytes, static_cast<int64_t>(i)));
        if (u == 0xFFFF && i + 3 < bytes.size()) {
            const uint16_t run = ReadLe16(bytes, static_cast<int64_t>(i + 2));
            for (uint32_t k = 0; k < run && table.size() < 65536; ++k) table.push_back(static_cast<char16_t>(table.size()));
            i += 2;
        } else {
            table.push_back(u);
        }
    }
    upcase_ = std::move(table);
    upcaseCluster_ = first;
}

char16_t TExFatVolume::UpCase(char16_t u) const {
    if (u < upcase_.size()) return upcase_[u];
    return (u >= u'a' && u <= u'z') ? static_cast<char16_t>(u - 32) : u;
}

std::u16string TExFatVolume::FoldName(std::u16string_view name) const {
    std::u16string units(name);
    for (char16_t& u : units) u = UpCase(u);
    return units;
}

} // namespace brivo
