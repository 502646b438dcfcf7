// The NTFS boot sector's size bytes, decoded once for the reader and the volume search.
#include <gtest/gtest.h>

#include "core/NtfsBootSector.h"

#include <vector>

namespace brivo {
namespace {

TEST(NtfsBootSector, SectorsPerClusterByte) {
    const struct {
        uint8_t byte;
        uint32_t sectors;
    } cases[] = {
        {0x01, 1}, {0x08, 8}, {0x80, 128},      // a plain count up to 0x80
        {0xF9, 128}, {0xF8, 256}, {0xF7, 512},  // -n: 2^n sectors (128 KiB, 256 KiB at 512 bytes)
        {0xF4, 4096},                           // 2 MiB at 512 bytes: the largest a format writes
        {0x00, 0}, {0x03, 0}, {0x7F, 0},        // no count of a cluster
        {0x81, 0}, {0xF3, 0}, {0xE0, 0},        // 2^13 sectors and more: no volume has them
        {0xFF, 2},
    };
    for (const auto& c : cases) EXPECT_EQ(NtfsSectorsPerCluster(c.byte), c.sectors) << int{c.byte};
}

TEST(NtfsBootSector, RecordAndIndexBlockBytes) {
    const struct {
        uint8_t byte;
        int64_t cluster;
        int32_t bytes;
    } cases[] = {
        {0xF6, 4096, 1024},      // -10: 2^10 bytes, whatever the cluster
        {0xF6, 2097152, 1024},   // a record far smaller than a 2 MiB cluster
        {0xF4, 262144, 4096},    // an index block inside a 256 KiB cluster
        {0x01, 4096, 4096},      // a positive byte counts clusters
        {0x02, 512, 1024},
        {0x01, 131072, 0},       // a record of a whole 128 KiB cluster is past any record size
        {0x00, 4096, 0},
        {0xF7, 4096, 512},
        {0xF8, 4096, 0},         // 256 bytes: smaller than one stride of the update sequence
        {0xEF, 4096, 0},         // 128 KiB
        {0x80, 4096, 0},         // -128: refused before any shift
        {0x03, 4096, 0},         // 12 KiB: no power of two
    };
    for (const auto& c : cases)
        EXPECT_EQ(NtfsRecordBytes(c.byte, c.cluster), c.bytes) << int{c.byte} << " " << c.cluster;
}


// The reader's geometry and the lost-volume search's facts come from one decoding: a
// cluster byte the reader takes (the 2 MiB clusters of 0xF4 among them) the search takes
// too, with the $MFT at the same byte, and one the reader refuses the search refuses.
TEST(NtfsBootSector, ReaderAndSearchAgreeOnTheClusterByte) {
    const auto sector = [](uint8_t clusterByte) {
        std::vector<uint8_t> s(512, 0);
        const char oem[] = "NTFS    ";
        for (int i = 0; i < 8; ++i) s[3 + i] = static_cast<uint8_t>(oem[i]);
        s[11] = 0x00, s[12] = 0x02;  // 512-byte sectors
        s[13] = clusterByte;
        const uint64_t total = uint64_t{1} << 24, mft = 4;
        for (int i = 0; i < 8; ++i) s[40 + i] = static_cast<uint8_t>(total >> (8 * i));
        for (int i = 0; i < 8; ++i) s[48 + i] = static_cast<uint8_t>(mft >> (8 * i));
        s[64] = 0xF6;  // 1 KiB records
        s[510] = 0x55, s[511] = 0xAA;
        return s;
    };
    for (const uint8_t byte : {0x01, 0x08, 0x80, 0xF8, 0xF4, 0x81, 0xF3, 0x03, 0x00}) {
        const std::vector<uint8_t> s = sector(byte);
        TNtfsGeometry geo;
        const bool reader = ReadNtfsGeometry(s, geo) == TNtfsGeometryResult::Ok;
        const auto facts = NtfsVolumeFacts(s);
        EXPECT_EQ(facts.has_value(), reader) << int{byte};
        if (!facts || !reader) continue;
        EXPECT_EQ(facts->StructureOffset, static_cast<uint64_t>(geo.MftLcn) * static_cast<uint64_t>(geo.BytesPerCluster))
            << int{byte};
        EXPECT_EQ(facts->LengthBytes, ((uint64_t{1} << 24) + 1) * 512) << int{byte};
    }
    EXPECT_TRUE(NtfsVolumeFacts(sector(0xF4)).has_value());
    EXPECT_FALSE(NtfsVolumeFacts(sector(0x81)).has_value());
}

} // namespace
} // namespace brivo
