// The FAT scan over a disk whose first FAT has bad sectors: with a resilient source in
// front, the entries come from the second copy and the results are those of a clean disk.
#include <gtest/gtest.h>

#include <set>
#include <tuple>

#include "TestSupport.h"
#include "core/ByteReaders.h"
#include "core/FailingByteSource.h"
#include "core/ResilientSource.h"
#include "fat32/Fat32Scan.h"

namespace brivo {
namespace {

using Listing = std::set<std::tuple<std::string, std::string, int64_t>>;

Listing Scan(TByteSource& src) {
    TNullReport report;
    Listing out;
    for (const TFoundFile& f : FastScanFat32Direct(src, report, {{"*"}, false, false}).Found)
        out.emplace(f.Inode, f.FullPath, f.SizeBytes);
    return out;
}

TEST(FatFailingDisk, BadSectorsOfTheFirstFatAreReadFromTheSecond) {
    for (const char* image : {"fat32", "fat32-fragdir", "fat16", "fat12"}) {
        SCOPED_TRACE(image);
        test::TempDir dir;
        const TByteSourcePtr raw = OpenRawByteSource(test::UnpackFixture(std::string(image) + ".img", dir));
        uint8_t boot[512];
        ASSERT_TRUE(raw->ReadExact(0, boot, sizeof boot));
        const uint64_t fat = uint64_t{ReadLe16(ByteSpan(boot), 14)} * ReadLe16(ByteSpan(boot), 11);
        ASSERT_EQ(ReadU8(ByteSpan(boot), 16), 2);

        const Listing clean = Scan(*raw);
        ASSERT_FALSE(clean.empty());
        // The FAT's first sectors hold the chains of the fixture's files and folders.
        auto failing = MakeFailingByteSource(raw, {{fat, 512}, {fat + 1024, 1024}});
        auto map = std::make_shared<TUnreadableMap>();
        auto src = MakeResilientSource(failing, map);
        EXPECT_EQ(Scan(*src), clean);
        EXPECT_EQ(map->Count(), 2u);  // named all the same
    }
}

} // namespace
} // namespace brivo
