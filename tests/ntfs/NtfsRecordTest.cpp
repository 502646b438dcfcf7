// Record-level NTFS decoding over hand-made bytes: boot sector geometry, fixups, names,
// runlists and the $MFT's own runs.
#include <gtest/gtest.h>

#include "NtfsTestImage.h"
#include "core/ByteReaders.h"
#include "ntfs/NtfsBootSector.h"
#include "ntfs/NtfsFileName.h"
#include "ntfs/NtfsFixups.h"
#include "ntfs/NtfsRunList.h"

namespace brivo {
namespace {

using test::Bytes;
using test::PutLe;

Bytes BootSector(uint16_t bps, uint8_t spc, uint8_t cpr, uint64_t mftLcn, const char* oem = "NTFS    ") {
    Bytes b(512, 0);
    std::memcpy(b.data() + 3, oem, 8);
    PutLe(b, 11, bps, 2);
    PutLe(b, 13, spc, 1);
    PutLe(b, 48, mftLcn, 8);
    PutLe(b, 64, cpr, 1);
    return b;
}

TEST(NtfsGeometry, DecodesBootSectorFields) {
    struct Case {
        const char* what;
        Bytes boot;
        TNtfsGeometryResult result;
        int32_t cluster, record;
    } cases[] = {
        {"0xF6: 2^10-byte records", BootSector(512, 8, 0xF6, 4), TNtfsGeometryResult::Ok, 4096, 1024},
        {"positive count: clusters per record", BootSector(512, 8, 2, 4), TNtfsGeometryResult::Ok, 4096, 8192},
        {"0x80 sectors per cluster is a plain count", BootSector(512, 0x80, 0xF6, 4), TNtfsGeometryResult::Ok, 65536, 1024},
        {"NTFS followed by anything", BootSector(512, 8, 0xF6, 4, "NTFSxyz!"), TNtfsGeometryResult::Ok, 4096, 1024},
        {"record size byte 0", BootSector(512, 8, 0, 4), TNtfsGeometryResult::Invalid, 4096, 0},
        {"2^31-byte records do not fit", BootSector(512, 8, 0xE1, 4), TNtfsGeometryResult::Invalid, 4096, -1},
        {"no sectors per cluster", BootSector(512, 0, 0xF6, 4), TNtfsGeometryResult::Invalid, 0, 1024},
        {"$MFT at cluster 0", BootSector(512, 8, 0xF6, 0), TNtfsGeometryResult::Invalid, 4096, 1024},
        {"other OEM id", BootSector(512, 8, 0xF6, 4, "MSDOS5.0"), TNtfsGeometryResult::NotNtfs, 0, 0},
    };
    for (const auto& c : cases) {
        TNtfsGeometry g;
        EXPECT_EQ(ReadNtfsGeometry(c.boot, g), c.result) << c.what;
        if (c.result == TNtfsGeometryResult::NotNtfs) continue;
        EXPECT_EQ(g.BytesPerCluster, c.cluster) << c.what;
        EXPECT_EQ(g.RecordSize, c.record) << c.what;
    }
    TNtfsGeometry g;
    EXPECT_EQ(ReadNtfsGeometry(Bytes(5, 0), g), TNtfsGeometryResult::NotNtfs);
}

TEST(NtfsFixups, RestoresSectorEndsOrRefuses) {
    Bytes rec(1024, 0xAA);
    PutLe(rec, 4, 48, 2);
    PutLe(rec, 6, 3, 2);
    PutLe(rec, 48, 0x0007, 2);
    PutLe(rec, 50, 0x1111, 2);
    PutLe(rec, 52, 0x2222, 2);
    // Sector ends hold something other than the sequence number: replaced all the same.
    PutLe(rec, 510, 0x9999, 2);
    PutLe(rec, 1022, 0x0007, 2);
    Bytes r = rec;
    ASSERT_TRUE(ApplyFixups(r, 512));
    EXPECT_EQ(r[510], 0x11);
    EXPECT_EQ(r[511], 0x11);
    EXPECT_EQ(r[1022], 0x22);
    EXPECT_EQ(r[1023], 0x22);
    EXPECT_EQ(r[509], 0xAA);

    r = rec;
    EXPECT_FALSE(ApplyFixups(r, 4096)) << "first sector end 4094 lies past a 1024-byte record";
    EXPECT_EQ(r, rec) << "a refused record is left as it was";

    struct Case {
        const char* what;
        uint16_t usaOffset, usaCount;
        int stride;
        size_t size;
    } bad[] = {
        {"array offset 0", 0, 3, 512, 1024},
        {"count below 2", 48, 1, 512, 1024},
        {"array past the end", 1020, 3, 512, 1024},
        {"stride 0", 48, 3, 0, 1024},
        {"record shorter than 8", 48, 3, 512, 7},
    };
    for (const auto& c : bad) {
        Bytes x(c.size, 0);
        PutLe(x, 4, c.usaOffset, 2);
        PutLe(x, 6, c.usaCount, 2);
        x.resize(c.size);
        EXPECT_FALSE(ApplyFixups(x, c.stride)) << c.what;
    }
}

TEST(NtfsFileName, PrefersWin32OverDosAndPosix) {
    struct Case {
        uint8_t ns1;
        const char16_t* n1;
        uint8_t ns2;
        const char16_t* n2;
        const char* winner;
    } cases[] = {
        {kNsDos, u"REPORT~1.DOC", kNsWin32, u"report 2019.docx", "report 2019.docx"},
        {kNsWin32, u"report 2019.docx", kNsDos, u"REPORT~1.DOC", "report 2019.docx"},
        {kNsPosix, u"Makefile", kNsDos, u"MAKEFILE", "Makefile"},
        {kNsPosix, u"a", kNsWin32AndDos, u"b", "b"},
        {kNsPosix, u"a", kNsPosix, u"b", "a"},
        {kNsWin32AndDos, u"a", kNsWin32, u"b", "a"},
    };
    for (const auto& c : cases) {
        test::TestRecord r;
        r.Flags = 1;
        r.Names = {{test::Ref(30, 2), c.n1, c.ns1}, {test::Ref(40, 3), c.n2, c.ns2}};
        TNtfsFileNameInfo info;
        ASSERT_TRUE(ParseMftFileName(test::MakeRecord(r), info));
        EXPECT_EQ(info.Name, c.winner);
        // The folder goes with the name: hard links name one file in several folders.
        const std::u16string second(c.n2);
        const bool secondWon = info.Name == std::string(second.begin(), second.end());  // ASCII names
        EXPECT_EQ(info.ParentRef, secondWon ? test::Ref(40, 3) : test::Ref(30, 2)) << c.winner;
    }
}

TEST(NtfsFileName, RefusesRecordsWithoutUsableName) {
    TNtfsFileNameInfo info;
    // A $FILE_NAME value shorter than its 66-byte fixed part carries no name.
    test::TestRecord r;
    r.Flags = 3;
    Bytes rec = test::MakeRecord(r);
    Bytes shortValue(60, 0);
    Bytes attr = test::ResidentAttr(0x30, shortValue);
    const size_t first = ReadLe16(rec, 20);
    std::memcpy(rec.data() + first, attr.data(), attr.size());
    PutLe(rec, first + attr.size(), 0xFFFFFFFF, 4);
    EXPECT_FALSE(ParseMftFileName(rec, info));
    EXPECT_TRUE(info.IsDir) << "the directory flag is reported even without a name";

    test::TestRecord empty;
    empty.Names = {{test::Ref(5, 5), u"", kNsWin32}};
    EXPECT_FALSE(ParseMftFileName(test::MakeRecord(empty), info));

    Bytes notFile = test::MakeRecord(empty);
    notFile[0] = 'B';
    EXPECT_FALSE(ParseMftFileName(notFile, info));

    // A name length reaching past the record.
    test::TestRecord longName;
    longName.Names = {{test::Ref(5, 5), u"abc", kNsWin32}};
    Bytes cut = test::MakeRecord(longName);
    const size_t v = ReadLe16(cut, 20) + 24;
    cut[v + 64] = 255;
    cut.resize(v + 66 + 100);
    EXPECT_FALSE(ParseMftFileName(cut, info));
}

TEST(NtfsFileName, DecodesUnicodeAndLoneSurrogates) {
    test::TestRecord r;
    r.Names = {{test::Ref(5, 5), u"Отчёт café 😀", kNsWin32}};
    TNtfsFileNameInfo info;
    ASSERT_TRUE(ParseMftFileName(test::MakeRecord(r), info));
    EXPECT_EQ(info.Name, "Отчёт café 😀");
    r.Names = {{test::Ref(5, 5), std::u16string(u"a") + char16_t(0xD800) + u"b", kNsWin32}};
    ASSERT_TRUE(ParseMftFileName(test::MakeRecord(r), info));
    EXPECT_EQ(info.Name, "a\xEF\xBF\xBD" "b");
}

TEST(NtfsRunList, DecodesEntries) {
    struct Case {
        const char* what;
        Bytes bytes;
        TNtfsRuns runs;
    } cases[] = {
        {"two runs, second one backwards", {0x11, 0x18, 0x34, 0x11, 0x05, 0xF0, 0x00},
         {{0, 52, 24}, {24, 36, 5}}},
        {"no offset field repeats the previous Lcn", {0x11, 0x04, 0x10, 0x01, 0x08, 0x11, 0x02, 0x05, 0x00},
         {{0, 16, 4}, {4, 16, 8, true}, {12, 21, 2}}},
        {"first entry sparse", {0x01, 0x08, 0x00}, {{0, 0, 8, true}}},
        {"length read signed", {0x11, 0x80, 0x10, 0x00}, {{0, 16, -128}}},
        {"offset field wider than 8 is skipped", {0x91, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}, {{0, 0, 2}}},
        {"length field 0 ends the list", {0x10, 0x05, 0x11, 0x01, 0x01}, {}},
        {"entry cut short", {0x11, 0x18, 0x34, 0x22, 0x05}, {{0, 52, 24}}},
        {"no terminator: the range ends it", {0x11, 0x18, 0x34}, {{0, 52, 24}}},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeRunList(c.bytes, 0, static_cast<int64_t>(c.bytes.size())), c.runs) << c.what;

    const Bytes b{0xFF, 0x11, 0x18, 0x34, 0x11, 0x05, 0xF0};
    EXPECT_EQ(DecodeRunList(b, 1, 3), (TNtfsRuns{{0, 52, 24}})) << "count bounds the walk";
    EXPECT_TRUE(DecodeRunList(b, -1, 5).empty());
    EXPECT_TRUE(DecodeRunList(b, 100, 5).empty());
    EXPECT_TRUE(DecodeRunList(b, 1, -5).empty());
}

TEST(NtfsRunList, ReadsMftRunsFromRecordZero) {
    test::TestRecord r0;
    r0.Flags = 1;
    r0.Names = {{test::Ref(5, 5), u"$MFT", kNsWin32AndDos}};
    r0.Data = {{true, Bytes(16, 1), 0, {}, 4},  // a resident stream first: passed over
               {false, {}, 262144, test::Concat({test::RunEntry(32, 4, 1, 1), test::RunEntry(32, 100, 1, 1)})}};
    Bytes rec = test::MakeRecord(r0);
    ASSERT_TRUE(ApplyFixups(rec, 512));
    int64_t size = 0;
    TNtfsRuns runs;
    ASSERT_TRUE(ReadMftDataRuns(rec, size, runs));
    EXPECT_EQ(size, 262144);
    EXPECT_EQ(runs, (TNtfsRuns{{0, 4, 32}, {32, 104, 32}}));

    r0.Data = {{true, Bytes(16, 1)}};
    EXPECT_FALSE(ReadMftDataRuns(test::MakeRecord(r0), size, runs)) << "no non-resident $DATA";
    r0.Data = {{false, {}, 4096, {}}};
    EXPECT_FALSE(ReadMftDataRuns(test::MakeRecord(r0), size, runs)) << "empty runlist";
}

TEST(NtfsAttributeWalk, StopsAtBrokenLengths) {
    // An attribute length of 0 would loop forever; below 24 ends the walk.
    test::TestRecord r;
    r.Names = {{test::Ref(5, 5), u"a.txt", kNsWin32}};
    Bytes rec = test::MakeRecord(r);
    const size_t first = ReadLe16(rec, 20);
    PutLe(rec, first + 4, 0, 4);
    TNtfsFileNameInfo info;
    EXPECT_FALSE(ParseMftFileName(rec, info));
    // A first-attribute offset past the record.
    rec = test::MakeRecord(r);
    PutLe(rec, 20, 0xFFF0, 2);
    EXPECT_FALSE(ParseMftFileName(rec, info));
}

} // namespace
} // namespace brivo
