// The NTFS boot sector's size bytes, decoded once for the reader and the volume search.
#include <gtest/gtest.h>

#include "core/NtfsBootSector.h"

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

} // namespace
} // namespace brivo
