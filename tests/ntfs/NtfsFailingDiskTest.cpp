// The NTFS scan over a disk with bad sectors inside its $MFT: with a resilient source in
// front, every record outside the bad area is still read.
#include <gtest/gtest.h>

#include <map>

#include "TestSupport.h"
#include "core/ByteReaders.h"
#include "core/FailingByteSource.h"
#include "core/ResilientSource.h"
#include "ntfs/NtfsScan.h"

namespace brivo {
namespace {

std::map<uint64_t, const TFoundFile*> ByRecord(const TFoundFiles& found) {
    std::map<uint64_t, const TFoundFile*> out;
    for (const TFoundFile& f : found) out[std::stoull(f.Inode)] = &f;
    return out;
}

TEST(NtfsFailingDisk, RecordsOutsideABadAreaOfTheMftAreAllListed) {
    test::TempDir dir;
    const std::string img = test::UnpackFixture("ntfs.img", dir);
    const TByteSourcePtr raw = OpenRawByteSource(img);
    uint8_t boot[512];
    ASSERT_TRUE(raw->ReadExact(0, boot, sizeof boot));
    const uint64_t cluster = uint64_t{ReadLe16(ByteSpan(boot), 11)} * ReadU8(ByteSpan(boot), 13);
    const uint64_t mft = ReadLe64(ByteSpan(boot), 48) * cluster;
    constexpr uint64_t kRecord = 1024;

    TReaderOptions opts;
    opts.Masks = {"*"};
    opts.Cleanup = false;
    TNullReport report;
    const TFoundFiles clean = FastScanNtfsDirect(*raw, report, opts).Found;
    ASSERT_GT(clean.size(), 4u);

    // Bad sectors over records first..first+3, where the fixture's own files begin, and one
    // sector of the record after them.
    const auto records = ByRecord(clean);
    const uint64_t first = records.begin()->first;
    const std::vector<TByteRange> bad = {{mft + first * kRecord, 4 * kRecord}, {mft + (first + 5) * kRecord + 512, 512}};
    auto failing = MakeFailingByteSource(raw, bad);
    auto map = std::make_shared<TUnreadableMap>();
    auto src = MakeResilientSource(failing, map);
    const TFoundFiles damaged = FastScanNtfsDirect(*src, report, opts).Found;

    const auto got = ByRecord(damaged);
    size_t lost = 0;
    for (const auto& [n, f] : records) {
        const bool inBad = (n >= first && n < first + 4) || n == first + 5;
        if (inBad) {
            EXPECT_EQ(got.count(n), 0u) << f->FullPath;
            ++lost;
            continue;
        }
        ASSERT_EQ(got.count(n), 1u) << f->FullPath;
        EXPECT_EQ(got.at(n)->SizeBytes, f->SizeBytes) << f->FullPath;
    }
    EXPECT_EQ(damaged.size(), clean.size() - lost);
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(map->Areas(), bad);
}

} // namespace
} // namespace brivo
