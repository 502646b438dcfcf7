#include <gtest/gtest.h>

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

std::vector<TLaidOut> ReadLayout(const std::string& img) {
    std::ifstream m(FixturePath("pieces.manifest.tsv"));
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
