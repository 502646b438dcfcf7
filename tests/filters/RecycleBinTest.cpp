// Recycle Bin "$I" records: names and pairing keys, record parsing (hand-made records and
// real ones made by Windows Vista and Windows 10).
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <filesystem>
#include <fstream>

#include "TestSupport.h"
#include "core/DateConvert.h"
#include "filters/RecycleBin.h"

namespace brivo {
namespace {

using Bytes = std::vector<uint8_t>;

Bytes Le(uint64_t v, int n) {
    Bytes b;
    for (int i = 0; i < n; ++i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
    return b;
}
Bytes U16(const std::u16string& s) {
    Bytes b;
    for (char16_t c : s) {
        b.push_back(static_cast<uint8_t>(c));
        b.push_back(static_cast<uint8_t>(c >> 8));
    }
    return b;
}
Bytes Cat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const auto& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

TEST(RecycleBinNames, SplitsKeyAndPrefix) {
    struct Case {
        const char* path;
        const char* key;
        const char* prefix;
    } cases[] = {
        {"/$RECYCLE.BIN/S-1-5-21-1/$IAB12CD.docx", "/$recycle.bin/s-1-5-21-1/ab12cd.docx", "$I"},
        {"/$RECYCLE.BIN/S-1-5-21-1/$RAB12CD.docx", "/$recycle.bin/s-1-5-21-1/ab12cd.docx", "$R"},
        {"\\$Recycle.Bin\\S-1\\$iab12cd.DOCX", "/$recycle.bin/s-1/ab12cd.docx", "$I"},
        {"$Recycle.Bin/S-1/$r1", "$recycle.bin/s-1/1", "$R"},
        {"$Recycle.Bin/S-1/$I", "", ""},
        {"$Recycle.Bin/S-1/$RFOLDER/notes.txt", "", ""},
        {"$Recycle.Bin/S-1/$XABC.txt", "", ""},
        {"$IABC.txt", "/abc.txt", "$I"},
        {"/Users/Bob/a.txt", "", ""},
    };
    for (const auto& c : cases) {
        std::string key = "junk", prefix = "junk";
        SplitRecycleName(c.path, key, prefix);
        EXPECT_EQ(key, c.key) << c.path;
        EXPECT_EQ(prefix, c.prefix) << c.path;
    }
}

TEST(RecycleBinRecord, DecodesUtf16UpToTheFirstNul) {
    const Bytes d = Cat({U16(u"C:\\ä"), Bytes{0, 0}, U16(u"tail")});
    struct Case {
        int64_t start, count;
        const char* text;
    } cases[] = {
        {0, static_cast<int64_t>(d.size()), "C:\\ä"},
        {0, 5, "C:"},          // a single trailing odd byte is ignored
        {10, 100, "tail"},     // count clipped to the data
        {0, 1, ""},
        {-1, 10, ""},
        {static_cast<int64_t>(d.size()), 2, ""},
    };
    for (const auto& c : cases) EXPECT_EQ(DecodeUtf16UntilNul(d, c.start, c.count), c.text) << c.start << "," << c.count;
}

TEST(RecycleBinRecord, ParsesBothVersions) {
    const uint64_t ft = 132223104050000000ull;  // 2020-01-01 00:00:05 UTC
    const std::u16string path = u"C:\\Users\\Bob\\Отчёт.docx";
    const uint64_t n = path.size() + 1;
    struct Case {
        const char* what;
        Bytes data;
        bool ok;
        const char* path;
    } cases[] = {
        {"v2 with exact length", Cat({Le(2, 8), Le(5000, 8), Le(ft, 8), Le(n, 4), U16(path), Bytes{0, 0}}), true,
         "C:\\Users\\Bob\\Отчёт.docx"},
        {"v2 length 0: up to the NUL", Cat({Le(2, 8), Le(5000, 8), Le(ft, 8), Le(0, 4), U16(path), Bytes{0, 0, 'x', 0}}), true,
         "C:\\Users\\Bob\\Отчёт.docx"},
        {"v2 length 32768", Cat({Le(2, 8), Le(5000, 8), Le(ft, 8), Le(32768, 4), U16(path), Bytes{0, 0}}), true,
         "C:\\Users\\Bob\\Отчёт.docx"},
        {"v2 length past the data", Cat({Le(2, 8), Le(5000, 8), Le(ft, 8), Le(n + 10, 4), U16(path)}), true,
         "C:\\Users\\Bob\\Отчёт.docx"},
        {"v1: 260 characters from 24", Cat({Le(1, 8), Le(5000, 8), Le(ft, 8), U16(path), Bytes(520 - 2 * path.size(), 0)}),
         true, "C:\\Users\\Bob\\Отчёт.docx"},
        {"blanks trimmed", Cat({Le(1, 8), Le(5000, 8), Le(ft, 8), U16(u"  C:\\a.txt "), Bytes{0, 0}}), true, "C:\\a.txt"},
        {"23 bytes", Bytes(23, 1), false, ""},
        {"empty path", Cat({Le(1, 8), Le(5000, 8), Le(ft, 8), Bytes(520, 0)}), false, ""},
        {"v2 of 24 bytes has no path", Cat({Le(2, 8), Le(5000, 8), Le(ft, 8)}), false, ""},
    };
    for (const auto& c : cases) {
        TRecycleMeta m;
        ASSERT_EQ(ParseRecycleIRecord(c.data, m), c.ok) << c.what;
        if (!c.ok) continue;
        EXPECT_EQ(m.OriginalPath, c.path) << c.what;
        EXPECT_TRUE(m.HasSize) << c.what;
        EXPECT_EQ(m.OriginalSize, 5000) << c.what;
        EXPECT_TRUE(m.HasDeletedTime) << c.what;
        EXPECT_NEAR(m.DeletedUtc, 43831.0001, 1e-9) << c.what << ": kept as 00:00:08.64";
    }
    TRecycleMeta m;
    ASSERT_TRUE(ParseRecycleIRecord(Cat({Le(1, 8), Le(7, 8), Le(0, 8), U16(u"C:\\x")}), m));
    EXPECT_FALSE(m.HasDeletedTime) << "FILETIME 0 is no time";
}

// --- real records

// Seconds-resolution UTC text "YYYY-MM-DDTHH:MM:SSZ" on the TDateTime scale.
double ParseIsoUtc(const std::string& s) {
    int y, mo, d, h, mi, se;
    if (std::sscanf(s.c_str(), "%d-%d-%dT%d:%d:%dZ", &y, &mo, &d, &h, &mi, &se) != 6) return NAN;
    // Days from civil (proleptic Gregorian), then shifted to 1899-12-30.
    y -= mo <= 2;
    const int era = (y >= 0 ? y : y - 399) / 400;
    const int yoe = y - era * 400;
    const int doy = (153 * (mo + (mo > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const int doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    const long days = era * 146097L + doe - 719468L;  // since 1970-01-01
    return static_cast<double>(days + 25569) + (h * 3600 + mi * 60 + se) / 86400.0;
}

std::string JsonUnescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '\\' && i + 1 < s.size()) ++i;
        out.push_back(s[i]);
    }
    return out;
}

struct Expected {
    std::string index, time, path;
    bool hasSize = false;
    int64_t size = 0;
};

// The text of a JSON string value after `"name": "` on the line, escapes kept.
bool JsonField(const std::string& line, const std::string& name, std::string& value) {
    const std::string tag = "\"" + name + "\": ";
    size_t p = line.find(tag);
    if (p == std::string::npos) return false;
    p += tag.size();
    if (line.compare(p, 4, "null") == 0) {
        value = "null";
        return true;
    }
    const bool quoted = line[p] == '"';
    size_t e = quoted ? ++p : p;
    while (e < line.size() && (quoted ? line[e] != '"' : (line[e] != ',' && line[e] != '}'))) e += (line[e] == '\\') ? 2 : 1;
    value = line.substr(p, e - p);
    return true;
}

std::vector<Expected> ReadExpected(const std::string& file) {
    std::vector<Expected> out;
    std::ifstream in(file);
    std::string line, size;
    while (std::getline(in, line)) {
        Expected e;
        if (!JsonField(line, "index", e.index) || !JsonField(line, "time", e.time) || !JsonField(line, "size", size) ||
            !JsonField(line, "path", e.path))
            continue;
        e.path = JsonUnescape(e.path);
        e.hasSize = size != "null";
        if (e.hasSize) e.size = std::stoll(size);
        out.push_back(e);
    }
    return out;
}

TEST(RecycleBinRecord, ReadsRealRecordsOfBothVersions) {
    BRIVO_REQUIRE_TESTDATA(samples, "recycle-bin");
    for (const char* sample : {"dir-sample1", "dir-win10-01"}) {
        const std::string dir = samples + "/" + sample;
        const auto expected = ReadExpected(dir + ".expected.json");
        size_t records = 0;
        for (const auto& ent : std::filesystem::directory_iterator(dir))
            if (ent.path().filename().string().rfind("$I", 0) == 0) ++records;
        ASSERT_EQ(expected.size(), records) << sample;
        for (const auto& e : expected) {
            const std::string raw = test::ReadFileBytes(dir + "/" + e.index);
            TRecycleMeta m;
            ASSERT_TRUE(ParseRecycleIRecord(Bytes(raw.begin(), raw.end()), m)) << e.index;
            EXPECT_EQ(m.OriginalPath, e.path) << sample << " " << e.index;
            EXPECT_EQ(m.HasSize, e.hasSize) << sample << " " << e.index;
            if (e.hasSize) {
                EXPECT_EQ(m.OriginalSize, e.size) << sample << " " << e.index;
            }
            ASSERT_TRUE(m.HasDeletedTime) << e.index;
            EXPECT_LE(std::fabs(m.DeletedUtc - ParseIsoUtc(e.time)) * 86400.0, 8.64) << sample << " " << e.index;
        }
    }
}

} // namespace
} // namespace brivo
