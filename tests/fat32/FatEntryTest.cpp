#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "FatTestImage.h"
#include "fat32/FatDirEntry.h"
#include "fat32/FatLongName.h"
#include "platform/DateTime.h"

namespace brivo {
namespace {

using test::FatEntry;

FatEntry Raw(const std::string& name11) { return test::FileEntry(name11, 5, 100); }

TEST(FatShortName, DecodesTheStoredName) {
    struct Case { std::string bytes; std::string want; int cp = 437; };
    const Case cases[] = {
        {"README  TXT", "README.TXT"},
        {"\xE5" "EADME  TXT", "_EADME.TXT"},        // deleted: first character lost
        {"\x05" "EADME  TXT", "_EADME.TXT"},        // 0x05 stands for a leading 0xE5
        {"AB\xE5" "D    TXT", "AB_D.TXT"},          // 0xE5 anywhere
        {"FOO        ", "FOO"},
        {"        TXT", ""},                         // no base name, no name
        {"readme  txt", "readme.txt"},              // case kept; byte 12 flags not applied
        {std::string("A\0B     TXT", 11), "A.TXT"}, // stops at 0x00
        {"CAF\xE9    TXT", "CAF\xCE\x98.TXT"},      // OEM code page 437: 0xE9 is U+0398
        {"\x82T\xE9     TX\x81", "\xC3\xA9T\xCE\x98.TX\xC3\xBC"},
        // The writer's code page decides: 0x9D is the yen sign in 437, the slashed O in 850.
        {"\xE5M\x9DRRE~1TXT", "_M\xC2\xA5RRE~1.TXT"},
        {"\xE5M\x9DRRE~1TXT", "_M\xC3\x98RRE~1.TXT", 850},
        {"CAF\x90    TXT", "CAF\xC3\x89.TXT", 850},
    };
    for (const auto& c : cases) {
        const FatEntry e = Raw(c.bytes);
        EXPECT_EQ(DecodeShortName(e, false, c.cp), c.want) << c.bytes;
    }
    const uint8_t shortEntry[10] = {'R', 'E', 'A', 'D', 'M', 'E', ' ', ' ', 'T', 'X'};
    EXPECT_EQ(DecodeShortName(ByteSpan(shortEntry)), "");
}

// Byte 12: bit 3 base name in lower case, bit 4 extension; ASCII letters only.
TEST(FatShortName, CaseFlagsAsShown) {
    struct Case { std::string bytes; uint8_t flags; std::string want; };
    const Case cases[] = {
        {"README  TXT", 0x08, "readme.TXT"},
        {"README  TXT", 0x10, "README.txt"},
        {"README  TXT", 0x18, "readme.txt"},
        {"\xE5" "EADME  TXT", 0x18, "_eadme.txt"},
        {"CAF\xE9    TXT", 0x08, "caf\xCE\x98.TXT"},  // the OEM letter keeps its form
        {"DIR1       ", 0x08, "dir1"},
        {"README  TXT", 0x00, "README.TXT"},
    };
    for (const auto& c : cases) {
        FatEntry e = Raw(c.bytes);
        e[12] = c.flags;
        EXPECT_EQ(DecodeShortName(e, true, 437), c.want) << c.bytes << " " << int(c.flags);
        EXPECT_EQ(ResolveEntryName(TFatLongNameState{}, e, false).Name, c.want) << c.bytes << " " << int(c.flags);
    }
}

TEST(FatShortName, ChecksumOfTheElevenNameBytes) {
    const FatEntry e = Raw("README  TXT");
    EXPECT_EQ(LfnChecksum(e), 0x73);
    EXPECT_TRUE(LfnChecksumMatches(e, 0x73));
    EXPECT_FALSE(LfnChecksumMatches(e, 0x74));
    // The byte that entered the checksum is gone once the entry is deleted.
    EXPECT_TRUE(LfnChecksumMatches(test::Deleted(e), 0x74));
    EXPECT_FALSE(LfnChecksumMatches(ByteSpan(e.data(), 10), 0x73));
    EXPECT_EQ(LfnChecksum(ByteSpan(e.data(), 10)), 0);
}

TEST(FatDateTime, ValidatesEveryField) {
    struct Case { uint16_t date, time; bool valid; int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0; };
    const Case cases[] = {
        {0x505D, 0xBF7D, true, 2020, 2, 29, 23, 59, 58},  // leap day, last even second
        {0x4E5D, 0x0000, false},                          // 2019-02-29
        {0x505D, 0xC000, false},                          // hour 24
        {0x505D, 0x001E, false},                          // 60 seconds
        {0x505D, 0x0780, false},                          // minute 60
        {0x0000, 0x6000, false},                          // no date
        {0x51A1, 0x0000, false},                          // month 13
        {0x5040, 0x0000, false},                          // day 0
        {0x0021, 0x0000, true, 1980, 1, 1, 0, 0, 0},
    };
    for (const auto& c : cases) {
        TDateTime v = -1;
        ASSERT_EQ(DecodeFatDateTime(c.date, c.time, v), c.valid) << std::hex << c.date << " " << c.time;
        if (c.valid)
            EXPECT_DOUBLE_EQ(v, EncodeDateTime(c.y, c.mo, c.d, c.h, c.mi, c.s));
        else
            EXPECT_EQ(v, 0);
    }
}

TEST(FatLongName, PartTextEndsAtTheTerminator) {
    EXPECT_EQ(LfnEntryText(test::LfnEntry(0x42, u" Settings", 0)), " Settings");
    EXPECT_EQ(LfnEntryText(test::LfnEntry(0x01, u"Documents and", 0)), "Documents and");
    FatEntry padded = test::LfnEntry(0x41, u"ab", 0);
    padded[5] = 0xFF; padded[6] = 0xFF;  // 0xFFFF padding right after the text also ends it
    EXPECT_EQ(LfnEntryText(padded), "ab");
    EXPECT_EQ(LfnEntryText(test::LfnEntry(0x41, u"\u00e9t\u00e9", 0)), "\xC3\xA9t\xC3\xA9");
    EXPECT_EQ(LfnEntryText(ByteSpan(padded.data(), 31)), "");
}

// Feeds every entry but the last through the long-name collector and names the last.
TResolvedName ResolveLast(const std::vector<FatEntry>& entries, bool directoryDeleted, TFatLongNameState* out = nullptr) {
    TFatLongNameState st;
    for (size_t i = 0; i + 1 < entries.size(); ++i) AddLongNameEntry(st, entries[i]);
    const FatEntry& last = entries.back();
    auto r = ResolveEntryName(st, last, directoryDeleted || last[0] == 0xE5);
    if (out) *out = st;
    return r;
}

TEST(FatLongName, ChoosesTheEntryName) {
    const FatEntry docs = test::DirEntry("DOCUME~1   ", 9);
    const auto live = test::Named(u"Documents and Settings", docs);
    const FatEntry readme = Raw("README  TXT");
    auto stale = test::Named(u"Old name.txt", readme);
    stale[0][13] ^= 0x55;  // checksum of some earlier short entry
    const auto gap = std::vector<FatEntry>{test::LfnEntry(0x43, u"three", test::ShortChecksum(readme)),
                                           test::LfnEntry(0x01, u"one", test::ShortChecksum(readme)), readme};
    const auto leftover = test::Cat({test::Deleted(std::vector<FatEntry>{test::LfnEntry(0x41, u"gone.txt", 0x12)}),
                                     std::vector<FatEntry>{readme}});
    // A pair of UTF-16 surrogates split across two parts still makes one character.
    std::u16string emoji = u"abcdefghijkl\U0001F600x.txt";
    struct Case { const char* what; std::vector<FatEntry> entries; bool dirDeleted; std::string want; bool validLfn; };
    const Case cases[] = {
        {"live long name", live, false, "Documents and Settings", true},
        {"deleted long name", test::Deleted(live), false, "Documents and Settings", false},
        {"deleted long name in deleted folder", test::Deleted(live), true, "Documents and Settings", false},
        {"stale run, live folder", stale, false, "README.TXT", false},
        {"stale run, deleted folder", stale, true, "Old name.txt", false},
        {"missing ordinal", gap, false, "README.TXT", true},
        {"live name in deleted folder", test::Named(u"Kept name.txt", readme), true, "Kept name.txt", true},
        {"deleted parts before live entry, deleted folder", leftover, true, "gone.txt", false},
        {"deleted parts before live entry, live folder", leftover, false, "README.TXT", false},
        {"deleted without long name", {test::Deleted(readme)}, false, "_EADME.TXT", false},
        {"split surrogate pair", test::Named(emoji, readme), false, "abcdefghijkl\xF0\x9F\x98\x80x.txt", true},
    };
    for (const auto& c : cases) {
        const auto r = ResolveLast(c.entries, c.dirDeleted);
        EXPECT_EQ(r.Name, c.want) << c.what;
        EXPECT_EQ(r.ValidLfn, c.validLfn) << c.what;
    }
}

TEST(FatLongName, RawPartsKeepTheirDiskOrder) {
    const auto gone = test::Deleted(test::Named(u"Documents and Settings", test::DirEntry("DOCUME~1   ", 9)));
    TFatLongNameState st;
    ResolveLast(gone, false, &st);
    ASSERT_EQ(st.RawParts.size(), 2u);
    EXPECT_EQ(Utf16ToUtf8(st.RawParts[0].View()), " Settings");
    EXPECT_EQ(Utf16ToUtf8(st.RawParts[1].View()), "Documents and");
    EXPECT_EQ(JoinRawParts(st), "Settings" "Documents and");
    EXPECT_EQ(JoinRawPartsReversed(st), "Documents and Settings");
    EXPECT_TRUE(st.DeletedLfnSeen);
    EXPECT_EQ(st.WantSeq, 0);  // 0xE5 reads as ordinal 5 with the 0x40 bit, and never starts a run
    ResetLongName(st);
    EXPECT_TRUE(st.RawParts.empty());
    EXPECT_FALSE(st.DeletedLfnSeen);
}

// Sets TZ for one test and puts the old value back.
class ScopedTz {
public:
    explicit ScopedTz(const char* tz) {
        if (const char* old = std::getenv("TZ")) saved_ = old, had_ = true;
        ::setenv("TZ", tz, 1);
        ::tzset();
    }
    ~ScopedTz() {
        if (had_) ::setenv("TZ", saved_.c_str(), 1); else ::unsetenv("TZ");
        ::tzset();
    }

private:
    std::string saved_;
    bool had_ = false;
};

uint16_t FatDate(int y, int m, int d) { return uint16_t(((y - 1980) << 9) | (m << 5) | d); }
uint16_t FatTime(int h, int mi, int s) { return uint16_t((h << 11) | (mi << 5) | (s / 2)); }

// FAT keeps the writer's local time; results carry UTC, read with the rules of that date.
TEST(FatDirItem, StampsAreLocalTimeStoredAsUtc) {
    ScopedTz tz("CET-1CEST,M3.5.0,M10.5.0/3");
    struct Case { const char* what; int y, m, d, h, mi; double utc; };
    const Case cases[] = {
        {"winter: one hour east", 2004, 1, 1, 14, 0, EncodeDateTime(2004, 1, 1, 13, 0, 0)},
        {"summer: two hours east", 2004, 6, 1, 15, 0, EncodeDateTime(2004, 6, 1, 13, 0, 0)},
        {"just after midnight, the day before in UTC", 2021, 3, 1, 0, 30, EncodeDateTime(2021, 2, 28, 23, 30, 0)},
    };
    for (const auto& c : cases) {
        const FatEntry e = test::ShortEntry("WINTER  TXT", 0x20, 5, 10, FatDate(c.y, c.m, c.d), FatTime(c.h, c.mi, 0));
        const TFatDirItem item = MakeFatDirItem(e, "winter.txt", 0, true);
        ASSERT_TRUE(item.HasModDate) << c.what;
        EXPECT_NEAR(item.ModDateUtc, c.utc, 1e-7) << c.what;
    }
}

TEST(FatDirItem, BuildsTheRecord) {
    ScopedTz tz("UTC0");
    FatEntry e = test::ShortEntry("PHOTO   JPG", 0x20, 0x00012345, 0xFFFFFFF0, 0x505D, 0xBF7D);
    TFatDirItem item = MakeFatDirItem(e, "photo.jpg", 4096, false);
    EXPECT_EQ(item.StartCluster, 0x00012345u);
    EXPECT_EQ(item.SizeBytes, int64_t{0xFFFFFFF0});
    EXPECT_EQ(item.Attr, 0x20);
    EXPECT_EQ(item.EntryOffset, 4096);
    EXPECT_FALSE(item.IsDeleted);
    EXPECT_TRUE(item.HasModDate);
    EXPECT_DOUBLE_EQ(item.ModDateUtc, EncodeDateTime(2020, 2, 29, 23, 59, 58));
    EXPECT_TRUE(MakeFatDirItem(e, "photo.jpg", 0, true).IsDeleted);
    e[0] = 0xE5;
    e[24] = e[25] = 0;
    item = MakeFatDirItem(e, "_HOTO.JPG", 0, false);
    EXPECT_TRUE(item.IsDeleted);
    EXPECT_FALSE(item.HasModDate);
    EXPECT_EQ(item.ModDateUtc, 0);

    const uint8_t bytes[] = {0x0A, 0xFF, 0x20};
    EXPECT_EQ(HexBytes(ByteSpan(bytes)), "0A FF 20");
    EXPECT_TRUE(IsDotName(".") && IsDotName("..") && !IsDotName("...") && !IsDotName(".a"));
}

} // namespace
} // namespace brivo
