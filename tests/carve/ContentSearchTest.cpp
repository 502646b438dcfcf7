#include <gtest/gtest.h>

#include <map>
#include <string>
#include <tuple>
#include <vector>

#include "TestSupport.h"
#include "carve/ContentSearch.h"
#include "core/Extractor.h"

using namespace brivo;
using brivo::test::FixturePath;
using brivo::test::ReadFileBytes;

namespace {

constexpr uint64_t kSec = 512;

std::string Sample(const std::string& name) { return ReadFileBytes(FixturePath("carve/" + name)); }

class TStopAfter : public TNullReport {
public:
    explicit TStopAfter(int polls) : polls_(polls) {}
    bool StopRequested() const override { return polls_-- <= 0; }

private:
    mutable int polls_;
};

// A small volume: old text everywhere, and sample files at sector starts. The PNG is in
// two pieces with used clusters (not searched) between them; the compound document
// straddles the search's 64 KiB read blocks.
struct TVolume {
    std::string Bytes;
    std::vector<TByteExtent> FreeSpace;
    std::map<std::string, std::string> Expected;  // path -> content

    TVolume() {
        Bytes.resize(300 * 1024);
        for (size_t i = 0; i < Bytes.size(); ++i) Bytes[i] = "old text, "[i % 10];
        Put(4 * kSec, Sample("camera.jpg"));
        Put(20 * kSec, Sample("update.pdf"));
        Bytes.replace(20 * kSec + Sample("update.pdf").size(), 512, 512, '\0');
        Put(40 * kSec, Sample("report.docx"));
        const std::string png = Sample("image.png");
        Put(60 * kSec, png.substr(0, 1024));
        Put(70 * kSec, png.substr(1024));
        Put(125 * kSec, Sample("memo.doc"));
        FreeSpace = {{0, 62 * kSec}, {70 * kSec, Bytes.size() - 70 * kSec}};
        Expected = {{"/$Found by content/JPEG/2019-07-14 15.32.10 (Canon EOS 80D).jpg", Sample("camera.jpg")},
                    {"/$Found by content/PDF/Quarterly report (draft).pdf", Sample("update.pdf")},
                    {"/$Found by content/DOCX/f40.docx", Sample("report.docx")},
                    {"/$Found by content/PNG/f60.png", png},
                    {"/$Found by content/DOC/f125.doc", Sample("memo.doc")}};
    }
    void Put(uint64_t at, const std::string& s) { Bytes.replace(at, s.size(), s); }
    TByteSourcePtr Source() const {
        return MakeMemoryByteSource({reinterpret_cast<const uint8_t*>(Bytes.data()), Bytes.size()}, "card");
    }
};

TCarveOptions SmallBlocks() {
    TCarveOptions o;
    o.BlockBytes = 64 * 1024;
    return o;
}

TEST(ContentSearch, FindsFilesInFreeSpaceAndTheyCopyBackByteExact) {
    TVolume v;
    auto src = v.Source();
    TCarveOptions opts = SmallBlocks();
    opts.Areas = v.FreeSpace;
    TNullReport report;
    const TReaderResult r = SearchByContent(*src, report, opts);
    auto extractor = MakeExtentExtractor(src, nullptr);
    std::map<std::string, std::string> got;
    for (const TFoundFile& f : r.Found) {
        EXPECT_EQ(f.FoundBy, TFoundBy::Content);
        EXPECT_TRUE(f.Inode.empty());
        // A compound document's sectors carry no check: whole, but not proven.
        if (f.FullPath.ends_with(".doc")) {
            EXPECT_EQ(f.DamageText, "Whole, content not checked");
            EXPECT_EQ(f.DamageScore, kCarveUncheckedScore);
        } else {
            EXPECT_EQ(f.DamageText, "Complete") << f.FullPath;
            EXPECT_EQ(f.DamageScore, kCarveCompleteScore);
        }
        test::StringSink sink;
        extractor->Extract(f, sink);
        EXPECT_EQ(static_cast<int64_t>(sink.bytes.size()), f.SizeBytes);
        got[f.FullPath] = sink.bytes;
    }
    EXPECT_EQ(got, v.Expected);
    for (const TFoundFile& f : r.Found)
        if (f.FullPath.ends_with(".png")) {
            const std::vector<TByteExtent> pieces{{60 * kSec, 1024}, {70 * kSec, Sample("image.png").size() - 1024}};
            EXPECT_EQ(f.Extents, pieces);
        } else if (f.FullPath.ends_with(".jpg")) {
            EXPECT_TRUE(f.HasModDate);
        }
}

TEST(ContentSearch, TypesNarrowTheSearchAndKnownStartsAreDropped) {
    TVolume v;
    auto src = v.Source();
    TCarveOptions opts = SmallBlocks();
    opts.Types = {"PDF", ".docx", "*.jpeg"};
    TNullReport report;
    TReaderResult r = SearchByContent(*src, report, opts);
    std::vector<std::string> paths;
    for (const auto& f : r.Found) paths.push_back(f.FullPath);
    EXPECT_EQ(paths, (std::vector<std::string>{"/$Found by content/JPEG/2019-07-14 15.32.10 (Canon EOS 80D).jpg",
                                               "/$Found by content/PDF/Quarterly report (draft).pdf",
                                               "/$Found by content/DOCX/f40.docx"}));
    DropKnownStarts(r.Found, {40 * kSec, 7});
    ASSERT_EQ(r.Found.size(), 2u);
    EXPECT_TRUE(r.Found[1].FullPath.ends_with(".pdf"));
}

// A caller reading along is shown every searched byte once as a block's own, area by
// area, files found included (their insides are otherwise stepped over), with the next
// block's first bytes after it where they lie right after; the search finds the same files.
TEST(ContentSearch, EachBlockShowsEveryByteOnce) {
    TVolume v;
    auto src = v.Source();
    TNullReport report;
    for (const bool areas : {false, true}) {
        SCOPED_TRACE(areas);
        TCarveOptions opts = SmallBlocks();
        if (areas) opts.Areas = v.FreeSpace;
        const size_t plain = SearchByContent(*src, report, opts).Found.size();
        std::vector<TByteExtent> shown;
        opts.EachBlock = [&](uint64_t at, std::span<const uint8_t> bytes, uint64_t starts) {
            EXPECT_LE(starts, bytes.size());
            EXPECT_LE(bytes.size(), starts + kEachBlockTail);
            EXPECT_EQ(std::string(reinterpret_cast<const char*>(bytes.data()), bytes.size()), v.Bytes.substr(at, bytes.size()));
            if (!shown.empty() && shown.back().Offset + shown.back().Length == at) shown.back().Length += starts;
            else shown.push_back({at, starts});
        };
        EXPECT_EQ(SearchByContent(*src, report, opts).Found.size(), plain);
        const std::vector<TByteExtent> all{{0, v.Bytes.size()}};
        EXPECT_EQ(shown, areas ? v.FreeSpace : all);
    }
}

TEST(ContentSearch, CutShortAtTheEndOfTheSearchAndStopKeepsWhatWasFound) {
    TVolume v;
    // The compound document's last sectors are not free any more.
    TCarveOptions opts = SmallBlocks();
    opts.Areas = {{0, 128 * kSec}};
    auto src = v.Source();
    TNullReport report;
    const TReaderResult r = SearchByContent(*src, report, opts);
    ASSERT_FALSE(r.Found.empty());
    EXPECT_EQ(r.Found.back().FullPath, "/$Found by content/DOC/f125.doc");
    EXPECT_EQ(r.Found.back().DamageText, "Cut short");
    EXPECT_EQ(r.Found.back().SizeBytes, static_cast<int64_t>(3 * kSec));

    TStopAfter stop(2);
    const TReaderResult stopped = SearchByContent(*src, stop, SmallBlocks());
    EXPECT_LT(stopped.Found.size(), 5u);
    for (const auto& f : stopped.Found) EXPECT_EQ(f.DamageText, "Complete");
}

TEST(ContentSearch, FileClaimingMoreThanIsThereDoesNotHideTheFilesAfterIt) {
    TVolume v;
    // A picture header whose size field says 1 GiB, from a file long gone.
    std::string bmp = Sample("image.bmp").substr(0, 54);
    bmp[2] = 0, bmp[3] = 0, bmp[4] = 0, bmp[5] = 0x40;
    v.Put(1 * kSec, bmp);
    auto src = v.Source();
    TNullReport report;
    const TReaderResult r = SearchByContent(*src, report, SmallBlocks());
    ASSERT_EQ(r.Found.size(), 6u);
    EXPECT_EQ(r.Found[0].FullPath, "/$Found by content/BMP/f1.bmp");
    EXPECT_EQ(r.Found[0].DamageText, "Cut short");
    EXPECT_EQ(r.Found[1].FullPath, "/$Found by content/JPEG/2019-07-14 15.32.10 (Canon EOS 80D).jpg");
}

// The camera wrote the photo's first clusters, then another file, then the rest.
TEST(ContentSearch, PhotoWrittenAroundAnotherFileIsJoinedFromItsTwoPieces) {
    TVolume v;
    const std::string photo = Sample("camera.jpg"), png = Sample("image.png");
    const uint64_t at = 150 * kSec, split = 3 * kSec;
    const uint64_t tailAt = at + split + (png.size() + kSec - 1) / kSec * kSec;
    v.Put(at, photo.substr(0, split));
    v.Put(at + split, png);
    v.Put(tailAt, photo.substr(split));
    auto src = v.Source();
    TNullReport report;
    TCarveOptions opts = SmallBlocks();
    opts.Types = {"jpg", "png"};
    const TReaderResult r = SearchByContent(*src, report, opts);
    ASSERT_EQ(r.Found.size(), 4u);
    const TFoundFile& joined = r.Found[2];  // after the two files of the volume
    EXPECT_EQ(joined.DamageText, "In pieces");
    EXPECT_EQ(joined.Extents, (std::vector<TByteExtent>{{at, split}, {tailAt, photo.size() - split}}));
    test::StringSink sink;
    MakeExtentExtractor(src, nullptr)->Extract(joined, sink);
    EXPECT_TRUE(sink.bytes == photo);
    EXPECT_EQ(r.Found[3].FullPath, "/$Found by content/PNG/f153.png");
    EXPECT_EQ(r.Found[3].DamageText, "Complete");

    // With the rest of the photo gone, nothing is joined: the head stays cut short.
    v.Bytes.replace(tailAt, photo.size() - split, photo.size() - split, '\0');
    auto src2 = v.Source();
    const TReaderResult r2 = SearchByContent(*src2, report, opts);
    ASSERT_EQ(r2.Found.size(), 4u);
    EXPECT_EQ(r2.Found[2].DamageText, "Cut short");
    EXPECT_EQ(r2.Found[2].SizeBytes, static_cast<int64_t>(split));
}

TEST(ContentSearch, SameNameFromContentTwiceGetsTheSectorToo) {
    TVolume v;
    v.Put(200 * kSec, Sample("camera.jpg"));
    auto src = v.Source();
    TNullReport report;
    TCarveOptions opts = SmallBlocks();
    opts.Types = {"jpg"};
    const TReaderResult r = SearchByContent(*src, report, opts);
    ASSERT_EQ(r.Found.size(), 2u);
    EXPECT_EQ(r.Found[1].FullPath, "/$Found by content/JPEG/2019-07-14 15.32.10 (Canon EOS 80D) (f200).jpg");
}

// Sound, video and archives back to back in old text, each named from its own tags where it
// has them; the live-written WebM, which has no sizes, ends where the text begins, but is
// only cut short there: the text might as well be a cluster of another file inside it.
TEST(ContentSearch, SoundVideoAndArchivesComeBackWholeAndNamed) {
    TVolume v;
    std::map<std::string, std::string> expected;
    uint64_t at = 130 * kSec;
    for (const auto& [name, path] : std::vector<std::pair<std::string, std::string>>{
             {"song.mp3", "MP3/The Harbour Band - Evening Tide.mp3"},
             {"song.flac", "FLAC/Quartet - Morning Song.flac"},
             {"holiday.mkv", "MKV/Holiday clip.mkv"},
             {"garden.webm", "WEBM/Garden walk.webm"},
             {"old.rar", "RAR/f@.rar"},
             {"new.rar", "RAR/f@.rar"}}) {
        const std::string bytes = Sample(name);
        v.Put(at, bytes);
        std::string p = "/$Found by content/" + path;
        if (const size_t k = p.find('@'); k != std::string::npos) p.replace(k, 1, std::to_string(at / kSec));
        expected[p] = bytes;
        at += (bytes.size() / kSec + 2) * kSec;
    }
    ASSERT_LT(at, v.Bytes.size());
    auto src = v.Source();
    TNullReport report;
    TCarveOptions opts = SmallBlocks();
    opts.Types = {"mp3", "flac", "mkv", "webm", "rar"};
    const TReaderResult r = SearchByContent(*src, report, opts);
    auto extractor = MakeExtentExtractor(src, nullptr);
    std::map<std::string, std::string> got;
    for (const TFoundFile& f : r.Found) {
        EXPECT_EQ(f.DamageText, f.FullPath.ends_with(".webm") ? "Cut short" : "Complete") << f.FullPath;
        test::StringSink sink;
        extractor->Extract(f, sink);
        got[f.FullPath] = sink.bytes;
    }
    EXPECT_EQ(got, expected);
}

// On a card of 4 KiB clusters: whole files, and a photo whose second half was written after
// a few clusters of a letter. Its markers run on through the letter (text has no 0xFF) to
// its own end mark, so only decoding tells the mixture from the photo.
TEST(ContentSearch, OnlyWhatChecksOutIsCompleteAndAPhotoWithAGapIsNot) {
    constexpr uint64_t kCluster = 4096;
    std::string card(96 * kCluster, '\0');
    for (size_t i = 0; i < card.size(); ++i) card[i] = "Dear Sir, thank you for your letter. "[i % 37];
    auto put = [&](uint64_t cluster, const std::string& s) { card.replace(cluster * kCluster, s.size(), s); };
    const std::string photo = Sample("photo.jpg"), restart = Sample("restart.jpg");
    put(1, Sample("camera.jpg"));
    put(2, restart);
    put(14, Sample("typeset.pdf"));
    put(20, Sample("image.png"));
    put(22, Sample("report.docx"));
    put(24, photo);
    // The same photo again, its first four clusters, three of the letter, then the rest.
    put(40, photo.substr(0, 4 * kCluster));
    put(47, photo.substr(4 * kCluster));
    // And the restart-marked one, cut the same way.
    put(60, restart.substr(0, 4 * kCluster));
    put(67, restart.substr(4 * kCluster));
    // And the photo's head once more, its rest overwritten by the letter.
    put(84, photo.substr(0, 4 * kCluster));
    auto src = MakeMemoryByteSource({reinterpret_cast<const uint8_t*>(card.data()), card.size()}, "card");
    TNullReport report;
    const TReaderResult r = SearchByContent(*src, report, SmallBlocks());
    std::map<uint64_t, const TFoundFile*> at;
    for (const TFoundFile& f : r.Found) at[f.Extents.front().Offset / kCluster] = &f;
    for (uint64_t whole : {1, 2, 14, 20, 22, 24}) {
        ASSERT_TRUE(at.count(whole)) << whole;
        EXPECT_EQ(at[whole]->DamageText, "Complete") << at[whole]->FullPath;
    }
    // The split ones are rebuilt from their two pieces: the decoding that tells the
    // letter from the photo also finds where the photo goes on.
    for (auto [split, rest, bytes] : {std::tuple{40, 47, photo}, std::tuple{60, 67, restart}}) {
        ASSERT_TRUE(at.count(split)) << split;
        const TFoundFile& f = *at[split];
        EXPECT_EQ(f.DamageText, "Complete (in 2 pieces)");
        EXPECT_EQ(f.Extents, (std::vector<TByteExtent>{{split * kCluster, 4 * kCluster},
                                                       {rest * kCluster, bytes.size() - 4 * kCluster}}));
        test::StringSink sink;
        MakeExtentExtractor(src, nullptr)->Extract(f, sink);
        EXPECT_TRUE(sink.bytes == bytes);
    }
    // With no cluster to carry it on, the head stays what it was, alone.
    ASSERT_TRUE(at.count(84));
    EXPECT_FALSE(at[84]->DamageText.starts_with("Complete")) << at[84]->DamageText;
    EXPECT_EQ(at[84]->Extents.size(), 1u);
}

} // namespace
