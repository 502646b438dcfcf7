#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "exfat/ExFatEntrySet.h"
#include "platform/DateTime.h"

namespace brivo {
namespace {

// An entry set as a writer lays it out: File, Stream Extension, File Name entries.
std::vector<uint8_t> MakeSet(const std::u16string& name, bool inUse = true, uint32_t first = 10, uint64_t size = 5000) {
    const size_t names = (name.size() + 14) / 15;
    std::vector<uint8_t> b((2 + names) * 32, 0);
    const uint8_t use = inUse ? 0x80 : 0;
    b[0] = 0x05 | use;
    b[1] = static_cast<uint8_t>(1 + names);
    b[4] = 0x20;  // archive
    // 2024-03-05 14:30:20 + 1.23 s, UTC+01:00.
    const uint32_t stamp = (44u << 25) | (3u << 21) | (5u << 16) | (14u << 11) | (30u << 5) | 10u;
    for (int i = 0; i < 4; ++i) b[12 + i] = static_cast<uint8_t>(stamp >> (8 * i));
    b[21] = 123;
    b[23] = 0x80 | 4;
    b[32] = 0x40 | use;
    b[33] = 0x01 | 0x02;
    b[35] = static_cast<uint8_t>(name.size());
    for (int i = 0; i < 8; ++i) b[40 + i] = b[56 + i] = static_cast<uint8_t>(size >> (8 * i));
    for (int i = 0; i < 4; ++i) b[52 + i] = static_cast<uint8_t>(first >> (8 * i));
    for (size_t i = 0; i < name.size(); ++i) {
        const size_t at = (2 + i / 15) * 32 + 2 + (i % 15) * 2;
        b[at] = static_cast<uint8_t>(name[i]);
        b[at + 1] = static_cast<uint8_t>(name[i] >> 8);
    }
    for (size_t e = 2; e < 2 + names; ++e) b[e * 32] = 0x41 | use;
    const uint16_t sum = ExFatSetChecksum(b);
    b[2] = static_cast<uint8_t>(sum);
    b[3] = static_cast<uint8_t>(sum >> 8);
    return b;
}

TEST(ExFatEntrySet, DecodesGoodSetsAndRefusesBrokenOnes) {
    const std::u16string longName = u"a name of thirty-one characters";  // three name entries
    struct Case {
        const char* what;
        std::vector<uint8_t> bytes;
        TExFatSetStatus status;
    };
    std::vector<Case> cases;
    cases.push_back({"in use", MakeSet(u"report.txt"), TExFatSetStatus::Ok});
    // Deletion clears the in-use bits after the checksum was written.
    cases.push_back({"deleted", MakeSet(u"report.txt", false), TExFatSetStatus::Ok});
    cases.push_back({"three name entries", MakeSet(longName, false), TExFatSetStatus::Ok});
    {
        auto b = MakeSet(u"report.txt");
        b[70] ^= 1;  // one name byte
        cases.push_back({"bad checksum", b, TExFatSetStatus::BadChecksum});
    }
    {
        auto b = MakeSet(longName);
        b.resize(b.size() - 32);
        cases.push_back({"truncated", b, TExFatSetStatus::Truncated});
    }
    for (uint8_t count : {0, 1, 19, 255}) {
        auto b = MakeSet(u"report.txt");
        b[1] = count;
        cases.push_back({"secondary count out of range", b, TExFatSetStatus::BadSecondaryCount});
    }
    {
        // Three name entries needed, two given room.
        auto b = MakeSet(longName);
        b[1] = 3;
        cases.push_back({"names past the secondary count", b, TExFatSetStatus::BadSecondaryCount});
    }
    {
        auto b = MakeSet(u"report.txt");
        b[32] = 0xC1;
        cases.push_back({"no stream extension", b, TExFatSetStatus::BadStream});
    }
    {
        auto b = MakeSet(u"report.txt", false);
        b[64] = 0xC1;  // a live name entry inside a deleted set: another set overwrote it
        cases.push_back({"mixed in-use bits", b, TExFatSetStatus::BadStream});
    }
    cases.push_back({"not a file entry", {0x83, 0x02, 0, 0}, TExFatSetStatus::NotFileEntry});
    cases.push_back({"empty", {}, TExFatSetStatus::NotFileEntry});

    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(DecodeExFatEntrySet(c.bytes).Status, c.status);
    }

    const TExFatEntrySet s = DecodeExFatEntrySet(MakeSet(longName, false, 77, 123456));
    ASSERT_TRUE(s.Ok());
    EXPECT_FALSE(s.InUse);
    EXPECT_EQ(s.Name, longName);
    EXPECT_EQ(s.FirstCluster, 77u);
    EXPECT_EQ(s.DataLength, 123456u);
    EXPECT_EQ(s.ValidDataLength, 123456u);
    EXPECT_TRUE(s.NoFatChain);
    EXPECT_EQ(s.EntryCount, 5);
}

TEST(ExFatEntrySet, ACutSetKeepsTheNamePartItHas) {
    const std::u16string longName = u"a name of thirty-one characters";
    const std::vector<uint8_t> whole = MakeSet(longName, false);
    struct Case {
        size_t entries;  // of the five
        bool ok;
        std::u16string name;
    };
    const Case cases[] = {{1, false, u""}, {2, false, u""}, {3, true, longName.substr(0, 15)}, {4, true, longName.substr(0, 30)}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.entries);
        const TExFatEntrySet s = DecodeExFatCutSet(ByteSpan(whole).first(c.entries * 32));
        EXPECT_EQ(s.Ok(), c.ok);
        if (!c.ok) continue;
        EXPECT_TRUE(s.Cut);
        EXPECT_EQ(s.Name, c.name);
        EXPECT_EQ(s.FirstCluster, 10u);
    }
    // A whole set is decoded as it is, checksum and all.
    EXPECT_FALSE(DecodeExFatCutSet(whole).Cut);
    std::vector<uint8_t> bad = whole;
    bad[70] ^= 1;
    EXPECT_EQ(DecodeExFatCutSet(bad).Status, TExFatSetStatus::BadChecksum);
}

TEST(ExFatEntrySet, NameHashIsTheWritersOwn) {
    // As the FUSE exFAT writer stored it for the folder "Projects".
    EXPECT_EQ(ExFatNameHash(u"PROJECTS"), 0xD446);
}

TEST(ExFatEntrySet, TimesCarryTheirHundredthsAndUtcOffset) {
    const TExFatEntrySet s = DecodeExFatEntrySet(MakeSet(u"x"));
    ASSERT_TRUE(s.HasModDate);
    // 14:30:21.23 at UTC+01:00 is 13:30:21.23 UTC.
    EXPECT_NEAR(s.ModDateUtc, EncodeDateTime(2024, 3, 5, 13, 30, 21, 230), 1e-9);

    TDateTime t = 0;
    // Offsets west of UTC are negative seven-bit counts of 15 minutes: -05:00 is 0x80|0x6C.
    ASSERT_TRUE(ExFatTimeToUtc((44u << 25) | (3u << 21) | (5u << 16) | (20u << 11), 0, 0x80 | 0x6C, t));
    EXPECT_NEAR(t, EncodeDateTime(2024, 3, 6, 1, 0, 0), 1e-9);
    EXPECT_FALSE(ExFatTimeToUtc(0, 0, 0x80, t));
    EXPECT_FALSE(ExFatTimeToUtc((44u << 25) | (2u << 21) | (30u << 16), 0, 0x80, t));  // 30 February
}

} // namespace
} // namespace brivo
