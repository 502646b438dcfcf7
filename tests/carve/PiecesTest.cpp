#include <gtest/gtest.h>
#include <zlib.h>

#include <fstream>
#include <map>
#include <sstream>

#include "TestSupport.h"
#include "carve/ContentSearch.h"
#include "carve/JpegEntropy.h"
#include "core/Extractor.h"

using namespace brivo;
using namespace brivo::test;

namespace {

// One row of pieces.manifest.tsv: a file the volume holds, where its pieces lie.
struct TLaidOut {
    std::string Name, Bytes;
    std::vector<TByteExtent> Pieces;
};

std::vector<TLaidOut> ReadLayout(const std::string& img, const std::string& manifest = "pieces.manifest.tsv") {
    std::ifstream m(FixturePath(manifest));
    std::ifstream v(img, std::ios::binary);
    std::vector<TLaidOut> rows;
    std::string line;
    while (std::getline(m, line)) {
        if (line.empty() || line[0] == '#') continue;
        std::istringstream f(line);
        std::string name, size, md5, pieces;
        std::getline(f, name, '\t');
        std::getline(f, size, '\t');
        std::getline(f, md5, '\t');
        std::getline(f, pieces, '\t');
        TLaidOut row;
        row.Name = name;
        std::istringstream ps(pieces);
        for (std::string p; std::getline(ps, p, ',');) {
            const uint64_t at = std::stoull(p.substr(0, p.find('+'))), n = std::stoull(p.substr(p.find('+') + 1));
            row.Pieces.push_back({at, n});
            std::string bytes(n, '\0');
            v.seekg(static_cast<std::streamoff>(at));
            v.read(bytes.data(), static_cast<std::streamsize>(n));
            row.Bytes += bytes;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

std::string Extract(const TByteSourcePtr& src, const TFoundFile& f) {
    StringSink sink;
    MakeExtentExtractor(src, nullptr)->Extract(f, sink);
    return sink.bytes;
}

// A volume with no file system, 4 KiB clusters, made by tests/fixtures/make-pieces.py from
// cjpeg, ImageMagick and zip: pictures, a PNG and a DOCX cut into two and three pieces
// with text, zeros or another picture's coded data between them (some told apart from it
// only by how their rows go on: a picture with hard edges of its own, and one behind data
// of a picture of the same size and tables), and two pictures whose clusters alternate.
// Each comes back once, byte-exact, from its pieces; nothing else is
// listed from their clusters; a picture whose rest was overwritten, or lost before a
// picture of the same size and tables, keeps no stranger's cluster.
TEST(Pieces, FilesCutIntoPiecesComeBackWholeAndOnce) {
    TempDir dir;
    const std::string img = UnpackFixture("pieces.img", dir);
    auto src = OpenRawByteSource(img);
    TNullReport report;
    const TReaderResult r = SearchByContent(*src, report, TCarveOptions{});
    std::map<uint64_t, const TFoundFile*> byStart;
    for (const TFoundFile& f : r.Found) byStart[f.Extents.front().Offset] = &f;

    const std::vector<TLaidOut> rows = ReadLayout(img);
    ASSERT_EQ(rows.size(), 12u);
    for (const TLaidOut& row : rows) {
        SCOPED_TRACE(row.Name);
        ASSERT_TRUE(byStart.count(row.Pieces.front().Offset));
        const TFoundFile& f = *byStart.at(row.Pieces.front().Offset);
        if (row.Name == "cut.jpg" || row.Name == "lost.jpg") {
            EXPECT_FALSE(f.DamageText.starts_with("Complete")) << f.DamageText;
            EXPECT_EQ(f.Extents.size(), 1u);
            continue;
        }
        EXPECT_EQ(f.DamageText, row.Pieces.size() == 1 ? std::string("Complete")
                                                       : "Complete (in " + std::to_string(row.Pieces.size()) + " pieces)");
        EXPECT_EQ(f.Extents, row.Pieces);
        EXPECT_TRUE(Extract(src, f) == row.Bytes);
    }
    // Nothing starts inside a rebuilt file's later pieces.
    for (const TFoundFile& f : r.Found)
        for (const TLaidOut& row : rows)
            for (size_t i = 1; i < row.Pieces.size(); ++i) {
                const TByteExtent& p = row.Pieces[i];
                EXPECT_FALSE(f.Extents.front().Offset >= p.Offset && f.Extents.front().Offset < p.Offset + p.Length)
                    << f.FullPath << " starts in a piece of " << row.Name;
            }
}

// Documents on a volume with no file system, 4 KiB clusters (make-pieces.py --documents):
// typeset PDFs in two, three and six pieces with text, zeros or an archive's bytes between
// them, whose tables place every object; a DOCX in three; an archive written to a pipe,
// its members' sizes only in descriptors after their data, in two; a PDF, DOCX, PNG and
// JPEG each in two pieces with the later piece before the first on the disk. Each comes
// back once,
// byte-exact, from its pieces; nothing starts inside a later piece. The same on a grid of
// sectors, as where the volume names no cluster size.
TEST(Pieces, DocumentsCutIntoPiecesComeBackWhole) {
    TempDir dir;
    const std::string img = UnpackFixture("pieces-docs.img", dir);
    auto src = OpenRawByteSource(img);
    for (uint32_t grid : {4096u, 512u}) {
    SCOPED_TRACE(grid);
    TNullReport report;
    TCarveOptions opts;
    opts.ClusterBytes = grid;
    const TReaderResult r = SearchByContent(*src, report, opts);
    std::map<uint64_t, const TFoundFile*> byStart;
    for (const TFoundFile& f : r.Found) byStart[f.Extents.front().Offset] = &f;
    const std::vector<TLaidOut> rows = ReadLayout(img, "pieces-docs.manifest.tsv");
    ASSERT_EQ(rows.size(), 10u);
    for (const TLaidOut& row : rows) {
        SCOPED_TRACE(row.Name);
        ASSERT_TRUE(byStart.count(row.Pieces.front().Offset));
        const TFoundFile& f = *byStart.at(row.Pieces.front().Offset);
        EXPECT_EQ(f.DamageText, "Complete (in " + std::to_string(row.Pieces.size()) + " pieces)");
        EXPECT_EQ(f.Extents, row.Pieces);
        EXPECT_TRUE(Extract(src, f) == row.Bytes);
        for (const TFoundFile& other : r.Found)
            for (size_t i = 1; i < row.Pieces.size(); ++i)
                EXPECT_FALSE(other.Extents.front().Offset >= row.Pieces[i].Offset &&
                             other.Extents.front().Offset < row.Pieces[i].Offset + row.Pieces[i].Length)
                    << other.FullPath;
    }
    }
}

// Where the volume names no cluster size the search runs on sectors, yet the pictures of a
// card of 4 KiB clusters still come back from their pieces.
TEST(Pieces, PicturesOnASectorGridComeBack) {
    TempDir dir;
    const std::string img = UnpackFixture("pieces.img", dir);
    auto src = OpenRawByteSource(img);
    TNullReport report;
    TCarveOptions opts;
    opts.ClusterBytes = 512;
    const TReaderResult r = SearchByContent(*src, report, opts);
    std::map<uint64_t, const TFoundFile*> byStart;
    for (const TFoundFile& f : r.Found) byStart[f.Extents.front().Offset] = &f;
    for (const TLaidOut& row : ReadLayout(img)) {
        if (row.Name != "two.jpg" && row.Name != "three.jpg") continue;
        SCOPED_TRACE(row.Name);
        ASSERT_TRUE(byStart.count(row.Pieces.front().Offset));
        const TFoundFile& f = *byStart.at(row.Pieces.front().Offset);
        EXPECT_EQ(f.DamageText, "Complete (in " + std::to_string(row.Pieces.size()) + " pieces)");
        EXPECT_TRUE(Extract(src, f) == row.Bytes);
    }
}

// A document whose later piece lies at the very start of the volume, before its first:
// where the tables put the first piece's start, counted from the later one, lies before
// the volume's first byte.
TEST(Pieces, LaterPieceAtTheVolumesStart) {
    constexpr size_t kCluster = 4096;
    const std::string pdf = ReadFileBytes(FixturePath("carve/typeset.pdf"));
    ASSERT_GT(pdf.size(), 2 * kCluster);
    auto padded = [&](std::string s) { return s.append((kCluster - s.size() % kCluster) % kCluster, '\0'); };
    std::string gap;
    while (gap.size() < kCluster) gap += "the card photo holiday report camera summer ";
    gap.resize(kCluster);
    const std::string tail = padded(pdf.substr(2 * kCluster));
    const std::string volume = tail + gap + padded(pdf.substr(0, 2 * kCluster));
    auto src = MakeMemoryByteSource({reinterpret_cast<const uint8_t*>(volume.data()), volume.size()}, "card");
    TNullReport report;
    const TReaderResult r = SearchByContent(*src, report, TCarveOptions{});
    ASSERT_EQ(r.Found.size(), 1u);
    const TFoundFile& f = r.Found.front();
    EXPECT_EQ(f.DamageText, "Complete (in 2 pieces)");
    EXPECT_EQ(f.Extents, (std::vector<TByteExtent>{{tail.size() + kCluster, 2 * kCluster}, {0, pdf.size() - 2 * kCluster}}));
    EXPECT_TRUE(Extract(src, f) == pdf);
}

// An archive whose later piece, holding a photo stored whole in it, lies before its first:
// the photo is found on its own first, and once the archive is rebuilt over it, it is
// listed no more.
TEST(Pieces, WhatStartsInAPieceBeforeTheFileIsNotListedAgain) {
    constexpr size_t kCluster = 4096;
    const std::string photo = ReadFileBytes(FixturePath("carve/camera.jpg"));
    auto le = [](uint64_t v, int n) {
        std::string s;
        for (int i = 0; i < n; ++i) s.push_back(static_cast<char>(v >> (8 * i)));
        return s;
    };
    std::string zip, dir;
    auto member = [&](const std::string& name, const std::string& data) {
        const uint32_t crc = static_cast<uint32_t>(crc32(0L, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
        const std::string common = le(20, 2) + le(0, 2) + le(0, 2) + le(0, 4) + le(crc, 4) + le(data.size(), 4) +
                                   le(data.size(), 4) + le(name.size(), 2) + le(0, 2);
        dir += le(0x02014B50, 4) + le(20, 2) + common + le(0, 2) + le(0, 2) + le(0, 2) + le(0, 4) + le(zip.size(), 4) + name;
        zip += le(0x04034B50, 4) + common + name + data;
    };
    // The photo's data starts right where the archive breaks.
    member("a.txt", std::string(2 * kCluster - 35 - 39, 'x'));
    member("photo.jpg", photo);
    ASSERT_EQ(zip.find(photo), 2 * kCluster);
    const uint64_t dirAt = zip.size();
    zip += dir + le(0x06054B50, 4) + le(0, 4) + le(2, 2) + le(2, 2) + le(dir.size(), 4) + le(dirAt, 4) + le(0, 2);
    auto padded = [&](std::string s) { return s.append((kCluster - s.size() % kCluster) % kCluster, '\0'); };
    std::string gap;
    while (gap.size() < kCluster) gap += "the card photo holiday report camera summer ";
    gap.resize(kCluster);
    const std::string tail = padded(zip.substr(2 * kCluster));
    const std::string volume = tail + gap + padded(zip.substr(0, 2 * kCluster));
    auto src = MakeMemoryByteSource({reinterpret_cast<const uint8_t*>(volume.data()), volume.size()}, "card");
    TNullReport report;
    const TReaderResult r = SearchByContent(*src, report, TCarveOptions{});
    ASSERT_EQ(r.Found.size(), 1u);
    EXPECT_EQ(r.Found.front().DamageText, "Complete (in 2 pieces)");
    EXPECT_TRUE(Extract(src, r.Found.front()) == zip);
}

// The coded data walk on the pictures alone: whole ones end at their end marker, and one
// with a stretch of garbage put in at a cluster boundary breaks within that stretch.
TEST(Pieces, JpegWalkEndsWholePicturesAndBreaksOnGarbage) {
    TempDir dir;
    const std::string img = UnpackFixture("pieces.img", dir);
    for (const TLaidOut& row : ReadLayout(img)) {
        if (!row.Name.ends_with(".jpg") || row.Name == "cut.jpg" || row.Name == "lost.jpg") continue;
        SCOPED_TRACE(row.Name);
        const std::span<const uint8_t> bytes(reinterpret_cast<const uint8_t*>(row.Bytes.data()), row.Bytes.size());
        carve::TMemoryInput whole(bytes);
        carve::TJpegScan scan;
        ASSERT_TRUE(carve::ReadJpegScan(whole, scan));
        carve::TJpegWalker walker(scan, 4096);
        carve::TJpegState s = walker.Start();
        const carve::TJpegWalk w = walker.Walk(whole, s, ~uint64_t{0});
        EXPECT_EQ(w.Stop, carve::TJpegStop::End);
        EXPECT_EQ(w.At, row.Bytes.size());

        for (const std::string& garbage : {std::string(4096, 'x'), std::string(4096, '\0'), row.Bytes.substr(0, 4096)}) {
            const std::string mixed = row.Bytes.substr(0, 4096) + garbage + row.Bytes.substr(4096);
            carve::TMemoryInput in(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(mixed.data()), mixed.size()));
            carve::TJpegState t = walker.Start();
            const carve::TJpegWalk m = walker.Walk(in, t, ~uint64_t{0});
            EXPECT_EQ(m.Stop, carve::TJpegStop::Broken);
            // At: the end of the bytes looked at, the last of them the one that gave it away.
            EXPECT_GT(m.At, 4096u);
            EXPECT_LE(m.At, 8193u);
        }
    }
}

} // namespace
