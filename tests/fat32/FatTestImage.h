#pragma once
// Small FAT32 volumes built in memory, entry by entry, for the reader's tests and fuzz seeds.
#include <array>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace brivo::test {

using FatEntry = std::array<uint8_t, 32>;

inline void PutLe16(uint8_t* p, uint16_t v) { p[0] = uint8_t(v); p[1] = uint8_t(v >> 8); }
inline void PutLe32(uint8_t* p, uint32_t v) { for (int i = 0; i < 4; ++i) p[i] = uint8_t(v >> (8 * i)); }

// name11: the 11 on-disk name bytes, e.g. "README  TXT".
inline FatEntry ShortEntry(const std::string& name11, uint8_t attr, uint32_t start, uint32_t size,
                           uint16_t date = 0x505D, uint16_t time = 0x6000) {
    FatEntry e{};
    std::memset(e.data(), ' ', 11);
    std::memcpy(e.data(), name11.data(), std::min<size_t>(11, name11.size()));
    e[11] = attr;
    PutLe16(&e[20], uint16_t(start >> 16));
    PutLe16(&e[22], time);
    PutLe16(&e[24], date);
    PutLe16(&e[26], uint16_t(start));
    PutLe32(&e[28], size);
    return e;
}
inline FatEntry FileEntry(const std::string& name11, uint32_t start, uint32_t size) { return ShortEntry(name11, 0x20, start, size); }
inline FatEntry DirEntry(const std::string& name11, uint32_t start) { return ShortEntry(name11, 0x10, start, 0); }

inline uint8_t ShortChecksum(const FatEntry& e) {
    uint8_t s = 0;
    for (int i = 0; i < 11; ++i) s = uint8_t(((s & 1) << 7) + (s >> 1) + e[i]);
    return s;
}

// One long-name entry: sequence byte, up to 13 UTF-16 characters (0x0000 then 0xFFFF padding).
inline FatEntry LfnEntry(uint8_t seq, const std::u16string& text, uint8_t checksum) {
    static const int kOff[13] = {1, 3, 5, 7, 9, 14, 16, 18, 20, 22, 24, 28, 30};
    FatEntry e{};
    e[0] = seq;
    e[11] = 0x0F;
    e[13] = checksum;
    for (int i = 0; i < 13; ++i) {
        uint16_t c = i < int(text.size()) ? text[size_t(i)] : (i == int(text.size()) ? 0x0000 : 0xFFFF);
        PutLe16(&e[size_t(kOff[i])], c);
    }
    return e;
}

// The long-name entries of name in disk order (highest ordinal first, flagged 0x40) and then
// the short entry.
inline std::vector<FatEntry> Named(const std::u16string& name, const FatEntry& shortEntry) {
    std::vector<FatEntry> parts;
    const size_t n = (name.size() + 12) / 13;
    const uint8_t chk = ShortChecksum(shortEntry);
    for (size_t k = n; k >= 1; --k) {
        uint8_t seq = uint8_t(k) | (k == n ? 0x40 : 0);
        parts.push_back(LfnEntry(seq, name.substr((k - 1) * 13, 13), chk));
    }
    parts.push_back(shortEntry);
    return parts;
}

// Every entry's first byte becomes 0xE5, as deleting the file does.
inline std::vector<FatEntry> Deleted(std::vector<FatEntry> entries) {
    for (auto& e : entries) e[0] = 0xE5;
    return entries;
}
inline FatEntry Deleted(FatEntry e) { e[0] = 0xE5; return e; }

// A FAT32 volume: 512-byte sectors, 32 reserved sectors, two FATs, root at cluster 2.
struct FatImage {
    uint32_t bps = 512, spc = 1, reserved = 32, fats = 2, fatSectors = 4, root = 2, clusters = 96;
    std::vector<uint8_t> bytes;

    FatImage() { Build(); }
    FatImage(uint32_t sectorsPerCluster, uint32_t clusterCount) : spc(sectorsPerCluster), clusters(clusterCount) { Build(); }

    void Build() {
        bytes.assign(size_t(DataOffset() + int64_t(clusters) * ClusterBytes()), 0);
        uint8_t* b = bytes.data();
        b[0] = 0xEB; b[1] = 0x58; b[2] = 0x90;
        std::memcpy(b + 3, "MSWIN4.1", 8);
        PutLe16(b + 11, uint16_t(bps));
        b[13] = uint8_t(spc);
        PutLe16(b + 14, uint16_t(reserved));
        b[16] = uint8_t(fats);
        PutLe32(b + 32, uint32_t(bytes.size() / bps));
        PutLe32(b + 36, fatSectors);
        PutLe32(b + 44, root);
        std::memcpy(b + 82, "FAT32   ", 8);
        b[21] = 0xF8;  // media: fixed disk
        b[510] = 0x55; b[511] = 0xAA;
        SetFat(0, 0x0FFFFFF8);
        SetFat(1, 0x0FFFFFFF);
        SetFat(root, 0x0FFFFFFF);
    }
    uint32_t ClusterBytes() const { return bps * spc; }
    int64_t DataOffset() const { return int64_t(reserved + fats * fatSectors) * bps; }
    int64_t ClusterOffset(uint32_t c) const { return DataOffset() + int64_t(c - 2) * ClusterBytes(); }
    // The engine's address of slot `slot` of cluster c.
    std::string Address(uint32_t c, uint32_t slot) const {
        return std::to_string((ClusterOffset(c) - DataOffset()) / 32 + slot + 3);
    }
    void SetFat(uint32_t c, uint32_t v) {
        for (uint32_t f = 0; f < fats; ++f) PutLe32(&bytes[size_t(int64_t(reserved + f * fatSectors) * bps + 4 * c)], v);
    }
    // Links the clusters in order and ends the chain.
    void Chain(const std::vector<uint32_t>& cs) {
        for (size_t i = 0; i < cs.size(); ++i) SetFat(cs[i], i + 1 < cs.size() ? cs[i + 1] : 0x0FFFFFFF);
    }
    // Writes entries into cluster c from slot on.
    void Put(uint32_t c, uint32_t slot, const std::vector<FatEntry>& entries) {
        int64_t off = ClusterOffset(c) + int64_t(slot) * 32;
        for (const auto& e : entries) {
            std::memcpy(&bytes[size_t(off)], e.data(), 32);
            off += 32;
        }
    }
    void Put(uint32_t c, uint32_t slot, const FatEntry& e) { Put(c, slot, std::vector<FatEntry>{e}); }
};

// Concatenates entry lists.
inline std::vector<FatEntry> Cat(std::initializer_list<std::vector<FatEntry>> lists) {
    std::vector<FatEntry> out;
    for (const auto& l : lists) out.insert(out.end(), l.begin(), l.end());
    return out;
}

} // namespace brivo::test
