// Record-level NTFS decoding over hand-made bytes: boot sector geometry, fixups, names,
// runlists and the $MFT's own runs.
#include <gtest/gtest.h>

#include "NtfsTestImage.h"
#include "core/ByteReaders.h"
#include "ntfs/NtfsAttributeWalk.h"
#include "core/NtfsBootSector.h"
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
        {"0xF8: 2^8 sectors per cluster", BootSector(512, 0xF8, 0xF6, 4), TNtfsGeometryResult::Ok, 131072, 1024},
        {"0xF4: 2 MiB clusters", BootSector(512, 0xF4, 0xF6, 4), TNtfsGeometryResult::Ok, 2097152, 1024},
        {"clusters past 2 MiB", BootSector(4096, 0xF4, 0xF6, 4), TNtfsGeometryResult::Invalid, 0, 1024},
        {"sectors per cluster no power of two", BootSector(512, 3, 0xF6, 4), TNtfsGeometryResult::Invalid, 0, 1024},
        {"4096-byte sectors, one cluster per record", BootSector(4096, 1, 1, 4), TNtfsGeometryResult::Ok, 4096, 4096},
        {"NTFS followed by more than blanks", BootSector(512, 8, 0xF6, 4, "NTFSxyz!"), TNtfsGeometryResult::NotNtfs, 0, 0},
        {"record size byte 0", BootSector(512, 8, 0, 4), TNtfsGeometryResult::Invalid, 4096, 0},
        {"2^31-byte records do not fit", BootSector(512, 8, 0xE1, 4), TNtfsGeometryResult::Invalid, 4096, 0},
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
    Bytes boot = BootSector(512, 8, 0xF6, 4);
    PutLe(boot, 40, 2000 * 8 + 7, 8);  // total sectors: 2000 whole clusters
    ASSERT_EQ(ReadNtfsGeometry(boot, g), TNtfsGeometryResult::Ok);
    EXPECT_EQ(g.ClusterCount, 2000);
}

// A record as stored: every 512-byte stride ends in the sequence number 0x0007, the
// bytes that belong there (0x1100 + stride) saved in the array at 48.
Bytes StoredRecord(size_t size) {
    Bytes rec(size, 0xAA);
    const size_t strides = size / 512;
    PutLe(rec, 4, 48, 2);
    PutLe(rec, 6, strides + 1, 2);
    PutLe(rec, 48, 0x0007, 2);
    for (size_t i = 1; i <= strides; ++i) {
        PutLe(rec, 48 + 2 * i, 0x1100 + i, 2);
        PutLe(rec, i * 512 - 2, 0x0007, 2);
    }
    return rec;
}

TEST(NtfsFixups, RestoresEvery512ByteStrideOrRefuses) {
    // 1024-byte records, and the 4096-byte records of a volume formatted for 4096-byte
    // sectors: their array has one entry per 512 bytes, not per sector.
    for (size_t size : {size_t{1024}, size_t{4096}}) {
        Bytes r = StoredRecord(size);
        ASSERT_EQ(ApplyFixups(r), TNtfsFixups::Ok) << size;
        for (size_t i = 1; i <= size / 512; ++i) EXPECT_EQ(ReadLe16(r, static_cast<int64_t>(i * 512 - 2)), 0x1100 + i) << size;
        EXPECT_EQ(r[509], 0xAA);
    }

    struct Case {
        const char* what;
        size_t size;
        int64_t at;  // where `value` of `width` bytes is written into a good record
        uint64_t value;
        int width;
        TNtfsFixups result;
    } cases[] = {
        {"a stride end that is not the sequence number: torn", 1024, 1022, 0x9999, 2, TNtfsFixups::Torn},
        {"torn in the last stride of a 4096-byte record", 4096, 4094, 0x0008, 2, TNtfsFixups::Torn},
        {"array offset 0", 1024, 4, 0, 2, TNtfsFixups::Damaged},
        {"array inside the header", 1024, 4, 40, 2, TNtfsFixups::Damaged},
        {"count below 2", 1024, 6, 1, 2, TNtfsFixups::Damaged},
        {"array past the end", 1024, 4, 1020, 2, TNtfsFixups::Damaged},
        {"more strides than the record holds", 1024, 6, 4, 2, TNtfsFixups::Damaged},
        {"fewer strides than the record holds: the rest stays", 1024, 6, 2, 2, TNtfsFixups::Ok},
    };
    for (const auto& c : cases) {
        Bytes r = StoredRecord(c.size);
        PutLe(r, static_cast<size_t>(c.at), c.value, c.width);
        const Bytes before = r;
        EXPECT_EQ(ApplyFixups(r), c.result) << c.what;
        if (c.result != TNtfsFixups::Ok) {
            EXPECT_EQ(r, before) << c.what << ": a refused record is left as it was";
        }
    }
    Bytes tiny(40, 0);
    EXPECT_EQ(ApplyFixups(tiny), TNtfsFixups::Damaged);
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
        bool complete;
    } cases[] = {
        {"two runs, second one backwards", {0x11, 0x18, 0x34, 0x11, 0x05, 0xF0, 0x00}, {{0, 52, 24}, {24, 36, 5}}, true},
        {"no offset field: sparse, the Lcn stays", {0x11, 0x04, 0x10, 0x01, 0x08, 0x11, 0x02, 0x05, 0x00},
         {{0, 16, 4}, {4, 16, 8, true}, {12, 21, 2}}, true},
        {"an offset of 0 is sparse too", {0x11, 0x04, 0x10, 0x11, 0x08, 0x00, 0x00}, {{0, 16, 4}, {4, 16, 8, true}}, true},
        {"first entry sparse", {0x01, 0x08, 0x00}, {{0, 0, 8, true}}, true},
        {"length read unsigned", {0x11, 0x80, 0x10, 0x00}, {{0, 16, 128}}, true},
        {"8-byte fields", {0x88, 0, 1, 0, 0, 0, 0, 0, 0, 0x10, 0, 0, 0, 0, 0, 0, 0, 0x00}, {{0, 16, 256}}, true},
        {"a header with length width 0 ends the list", {0x10, 0x05, 0x11, 0x01, 0x01}, {}, true},
        {"offset field wider than 8", {0x11, 0x02, 0x05, 0x91, 0x02, 1, 2, 3, 4, 5, 6, 7, 8, 9, 0x00}, {{0, 5, 2}}, false},
        {"length above the largest signed value", {0x18, 0, 0, 0, 0, 0, 0, 0, 0x80, 0x00}, {}, false},
        {"cluster number overflows", {0x81, 0x01, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x7F, 0x11, 0x01, 0x7F, 0x00},
         {{0, INT64_MAX, 1}}, false},
        {"entry cut short", {0x11, 0x18, 0x34, 0x22, 0x05}, {{0, 52, 24}}, false},
        {"no end marker: the range ends it", {0x11, 0x18, 0x34}, {{0, 52, 24}}, false},
    };
    for (const auto& c : cases) {
        const TNtfsRunList r = DecodeRunList(c.bytes, 0, static_cast<int64_t>(c.bytes.size()));
        EXPECT_EQ(r.Runs, c.runs) << c.what;
        EXPECT_EQ(r.Complete, c.complete) << c.what;
    }

    const Bytes b{0xFF, 0x11, 0x18, 0x34, 0x11, 0x05, 0xF0};
    EXPECT_EQ(DecodeRunList(b, 1, 3).Runs, (TNtfsRuns{{0, 52, 24}})) << "count bounds the walk";
    for (auto [start, count] : {std::pair{-1, 5}, {100, 5}, {1, -5}, {7, 1}}) {
        const TNtfsRunList r = DecodeRunList(b, start, count);
        EXPECT_TRUE(r.Runs.empty() && !r.Complete) << start << " " << count;
    }
}

TEST(NtfsRunList, ReadsMftRunsFromRecordZero) {
    test::TestRecord r0;
    r0.Flags = 1;
    r0.Names = {{test::Ref(5, 5), u"$MFT", kNsWin32AndDos}};
    r0.Data = {{true, Bytes(16, 1), 0, {}, 4},  // a resident stream first: passed over
               {false, {}, 262144, test::Concat({test::RunEntry(32, 4, 1, 1), test::RunEntry(32, 100, 1, 1)})}};
    Bytes rec = test::MakeRecord(r0);
    ASSERT_EQ(ApplyFixups(rec), TNtfsFixups::Ok);
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

TEST(NtfsAttributeWalk, SeesEachHeaderAndSaysHowItEnded) {
    test::TestRecord r;
    r.Names = {{test::Ref(5, 5), u"a.txt", kNsWin32}};
    test::TestData stream(true, Bytes{'s'});
    stream.Name = u"x";
    stream.Id = 9;
    stream.AttrFlags = 0x4000;
    r.Data = {{false, {}, 4096, test::RunEntry(1, 40, 1, 1)}, stream};
    const Bytes good = test::MakeRecord(r);
    const size_t first = ReadLe16(good, 20);

    std::vector<TNtfsAttr> seen;
    auto collect = [&](const TNtfsAttr& a) {
        seen.push_back(a);
        return true;
    };
    ASSERT_EQ(WalkMftAttributes(good, collect), TNtfsWalkEnd::EndMarker);
    ASSERT_EQ(seen.size(), 3u);
    EXPECT_EQ(seen[0].P, static_cast<int64_t>(first));
    EXPECT_EQ(seen[0].Type, kAttrFileName);
    EXPECT_TRUE(seen[1].NonResident);
    EXPECT_EQ(seen[2].NameLength, 1);
    EXPECT_EQ(seen[2].Id, 9);
    EXPECT_EQ(seen[2].Flags, 0x4000);
    EXPECT_EQ(WalkMftAttributes(good, [](const TNtfsAttr&) { return false; }), TNtfsWalkEnd::Stopped);

    struct Case {
        const char* what;
        size_t at;
        uint64_t value;
        int width;
    } broken[] = {
        {"length 0 (would loop forever)", first + 4, 0, 4},
        {"length below 24", first + 4, 16, 4},
        {"length past the record", first + 4, 5000, 4},
        {"first attribute past the record", 20, 0xFFF0, 2},
    };
    for (const auto& c : broken) {
        Bytes rec = good;
        PutLe(rec, c.at, c.value, c.width);
        seen.clear();
        EXPECT_EQ(WalkMftAttributes(rec, collect), TNtfsWalkEnd::Broken) << c.what;
        EXPECT_TRUE(seen.empty()) << c.what;
        TNtfsFileNameInfo info;
        EXPECT_FALSE(ParseMftFileName(rec, info)) << c.what;
    }
    // A record cut off before its end marker.
    Bytes cut(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(first) + 30);
    EXPECT_EQ(WalkMftAttributes(cut, [](const TNtfsAttr&) { return true; }), TNtfsWalkEnd::Broken);
}

} // namespace
} // namespace brivo
