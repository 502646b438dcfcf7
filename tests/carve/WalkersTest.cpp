#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "TestSupport.h"
#include "carve/CarveFormat.h"

using namespace brivo::carve;
using brivo::test::FixturePath;
using brivo::test::ReadFileBytes;

namespace {

std::vector<uint8_t> Sample(const std::string& name) {
    const std::string s = ReadFileBytes(FixturePath("carve/" + name));
    return {s.begin(), s.end()};
}

TCarveHit Walk(TCarveHit (*walk)(TCarveInput&), const std::vector<uint8_t>& bytes) {
    TMemoryInput in(bytes);
    return walk(in);
}

const char* EndName(TCarveEnd e) {
    return e == TCarveEnd::Complete   ? "Complete"
           : e == TCarveEnd::CutShort ? "CutShort"
           : e == TCarveEnd::Damaged  ? "Damaged"
                                      : "NotFile";
}

struct TCase {
    const char* File;
    TCarveHit (*Walk)(TCarveInput&);
    const char* Ext;
    const char* Title;
    // A cut at 60% of the file: what the walker can still tell.
    TCarveEnd CutEnd;
    // Bytes overwritten at an offset (negative: from the end) with what the walker then says.
    long CorruptAt;
    std::vector<uint8_t> CorruptWith;
    TCarveEnd CorruptEnd;
    // What the whole file is: Damaged where the format gives its content no check.
    TCarveEnd WholeEnd = TCarveEnd::Complete;
};

const TCarveEnd kWhole = TCarveEnd::Complete, kCut = TCarveEnd::CutShort, kNot = TCarveEnd::NotFile,
                kUnchecked = TCarveEnd::Damaged;

// Each sample whole, cut short, followed by another file, and with its structure broken.
const std::vector<TCase>& Cases() {
    static const std::vector<TCase> cases{
        // A second picture's start inside the scan data: the first one ends there.
        {"camera.jpg", WalkJpeg, "jpg", "2019-07-14 15.32.10 (Canon EOS 80D)", kCut, -300, {0xFF, 0xD8, 0xFF, 0xE0}, kCut},
        // No end-of-image mark: the picture runs on into whatever follows.
        {"progressive.jpg", WalkJpeg, "jpg", "", kCut, -2, {0x00, 0x00}, kCut},
        // One byte of image data changed: its chunk's CRC fails.
        {"image.png", WalkPng, "png", "", kCut, -200, {0x5A}, kCut},
        {"anim.gif", WalkGif, "gif", "", kCut, -1, {0x00}, kCut},
        // Big enough for a cluster of another file inside its coded data.
        {"plasma.gif", WalkGif, "gif", "", kNot, -1, {0x00}, kCut},
        // Pixels carry no check; a broken header is no picture.
        {"image.bmp", WalkBmp, "bmp", "", kCut, 14, {0x07}, kNot, kUnchecked},
        // ImageMagick writes the IFD after the pixels: cut before it, nothing says TIFF.
        {"image.tif", WalkTiff, "tif", "", kNot, 2, {0x2B}, kNot, kUnchecked},
        {"update.pdf", WalkPdf, "pdf", "Quarterly report (draft)", kCut, -6, {'%', '%', 'E', 'O', 'X'}, kCut},
        {"report.docx", WalkZip, "docx", "", kCut, -22, {'P', 'K', 9, 9}, kCut},
        {"streamed.zip", WalkZip, "zip", "", kCut, -22, {'P', 'K', 9, 9}, kCut},
        {"book.epub", WalkZip, "epub", "", kCut, -22, {'P', 'K', 9, 9}, kCut},
        // The FAT sector's marks turned into garbage sector numbers.
        {"memo.doc", WalkOle2, "doc", "", kCut, 512, {0xFB, 0xFF, 0xFF, 0xFF}, kNot, kUnchecked},
        {"notes.sqlite", WalkSqlite, "sqlite", "", kCut, 21, {0x41}, kNot, kUnchecked},
        {"log.txt.gz", WalkGzip, "gz", "log.txt", kCut, -8, {0x00, 0x11}, kCut},
        // The media data box's size made larger than the file.
        {"clip.mp4", WalkIsoBmff, "mp4", "", kCut, 2013, {0x7F}, kCut},
        {"clip.mov", WalkIsoBmff, "mov", "", kCut, 11910, {0x7F}, kCut},
        // A still picture's coded data is a NAL unit or a few as long as the picture: their
        // lengths would vouch for none of the clusters inside them, so it is never proven.
        {"photo.heic", WalkIsoBmff, "heic", "", kCut, 347, {0x7F}, kCut, kUnchecked},
        // AAC frames carry nothing to check them by: sound alone is never proven whole.
        {"tone.m4a", WalkIsoBmff, "m4a", "", kCut, 4544, {0x7F}, kCut, kUnchecked},
        {"tone.wav", WalkRiff, "wav", "", kCut, 8, {'X'}, kNot, kUnchecked},
        {"sound.ogg", WalkOgg, "ogg", "", kCut, -633, {'X'}, kCut},
        {"letter.rtf", WalkRtf, "rtf", "", kCut, 10, {0}, kCut},
        // A Cluster's ID overwritten: the Segment's size still says there is more.
        {"holiday.mkv", WalkMatroska, "mkv", "Holiday clip", kCut, -12365, {0x00, 0x00}, kCut},
        // Written live: no sizes on the Segment and Clusters. A block's size made too large.
        {"garden.webm", WalkMatroska, "webm", "Garden walk", kCut, -306, {0x01, 0xFF, 0xFF}, kCut},
        // A frame header in the middle broken: the Info frame's count says frames are missing.
        {"song.mp3", WalkMp3, "mp3", "The Harbour Band - Evening Tide", kCut, -2144, {0xFF, 0x00}, kCut},
        // A byte of the first audio frame changed: its CRC-16 fails, the next frame still follows.
        {"song.flac", WalkFlac, "flac", "Quartet - Morning Song", kCut, -4000, {0x5A}, kCut},
        // The second file's header changed: its CRC fails.
        {"old.rar", WalkRar, "rar", "", kCut, -1515, {'X'}, kCut},
        {"new.rar", WalkRar, "rar", "", kCut, -1516, {'X'}, kCut},
        // From cjpeg, with and without restart markers: a restart marker out of turn ends the
        // data; a marker that is no restart is where the decoder gives up.
        {"photo.jpg", WalkJpeg, "jpg", "", kCut, 20000, {0xFF, 0xC8}, kCut},
        {"restart.jpg", WalkJpeg, "jpg", "", kCut, -3, {0xFF, 0xD3}, kCut},
        {"typeset.pdf", WalkPdf, "pdf", "", kCut, -6, {'%', '%', 'E', 'O', 'X'}, kCut},
        {"xrefstream.pdf", WalkPdf, "pdf", "", kCut, -6, {'%', '%', 'E', 'O', 'X'}, kCut},
        // Sectors of zeros inside its coded data: the picture goes on past them.
        {"diagram.jpg", WalkJpeg, "jpg", "", kCut, -2, {0x00, 0x00}, kCut},
    };
    return cases;
}

TEST(CarveWalkers, WholeFileEndsAtItsOwnEndWithTypeAndName) {
    for (const TCase& c : Cases()) {
        SCOPED_TRACE(c.File);
        const auto bytes = Sample(c.File);
        const TCarveHit h = Walk(c.Walk, bytes);
        EXPECT_STREQ(EndName(h.End), EndName(c.WholeEnd));
        EXPECT_EQ(h.Length, bytes.size());
        if (c.WholeEnd == kWhole) {
            EXPECT_EQ(h.ProvenBytes, h.Length);
            EXPECT_EQ(DecodedShare(h), 100);
        } else {
            EXPECT_LT(h.ProvenBytes, h.Length);
            EXPECT_LT(DecodedShare(h), 100);
        }
        EXPECT_EQ(h.Ext, c.Ext);
        EXPECT_EQ(h.Title, c.Title);
    }
}

TEST(CarveWalkers, FileFollowedByOtherBytesStillEndsAtItsOwnEnd) {
    for (const TCase& c : Cases()) {
        SCOPED_TRACE(c.File);
        auto bytes = Sample(c.File);
        const size_t size = bytes.size();
        // Another file right after it, then the leftovers of an older one.
        const auto next = Sample(std::string(c.File) == "image.png" ? "anim.gif" : "image.png");
        // Written live, with no size of its own: it ends where the next sector is empty or
        // begins another file.
        if (std::string(c.File) == "garden.webm") bytes.resize((size + 511) / 512 * 512 + 512, 0);
        bytes.insert(bytes.end(), next.begin(), next.end());
        for (int i = 0; i < 3000; ++i) bytes.push_back(static_cast<uint8_t>(i * 131 + 7));
        const TCarveHit h = Walk(c.Walk, bytes);
        EXPECT_STREQ(EndName(h.End), EndName(c.WholeEnd));
        EXPECT_EQ(h.Length, size);
    }
}

TEST(CarveWalkers, FileCutShortIsSaidSoAndNeverClaimsMoreThanThereIs) {
    for (const TCase& c : Cases()) {
        SCOPED_TRACE(c.File);
        auto bytes = Sample(c.File);
        bytes.resize(bytes.size() * 6 / 10);
        const TCarveHit h = Walk(c.Walk, bytes);
        EXPECT_STREQ(EndName(h.End), EndName(c.CutEnd));
        EXPECT_LE(h.Length, bytes.size());
        if (h.End == TCarveEnd::CutShort) {
            EXPECT_GT(h.Length, 0u);
        }
    }
}

TEST(CarveWalkers, BrokenStructureIsNeverTakenForAWholeFile) {
    for (const TCase& c : Cases()) {
        SCOPED_TRACE(c.File);
        auto bytes = Sample(c.File);
        const size_t at = c.CorruptAt < 0 ? bytes.size() - static_cast<size_t>(-c.CorruptAt) : static_cast<size_t>(c.CorruptAt);
        ASSERT_LE(at + c.CorruptWith.size(), bytes.size());
        std::copy(c.CorruptWith.begin(), c.CorruptWith.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at));
        const TCarveHit h = Walk(c.Walk, bytes);
        EXPECT_STREQ(EndName(h.End), EndName(c.CorruptEnd));
        if (h.End == TCarveEnd::CutShort) {
            EXPECT_GT(h.Length, 0u);
            EXPECT_LE(h.Length, bytes.size());
        }
    }
}

TEST(CarveWalkers, JpegBrokenInItsScanEndsWhereTheNextFileBegins) {
    auto bytes = Sample("camera.jpg");
    const size_t at = bytes.size() - 300;
    const uint8_t soi[] = {0xFF, 0xD8, 0xFF, 0xE0};
    std::copy(std::begin(soi), std::end(soi), bytes.begin() + static_cast<std::ptrdiff_t>(at));
    const TCarveHit h = Walk(WalkJpeg, bytes);
    EXPECT_EQ(h.End, TCarveEnd::CutShort);
    EXPECT_EQ(h.Length, at);
    EXPECT_EQ(h.Title, "2019-07-14 15.32.10 (Canon EOS 80D)");  // the header was whole
    EXPECT_TRUE(h.HasModDate);
}

// Where each restart marker of a picture's scan data is.
std::vector<size_t> RestartMarkers(const std::vector<uint8_t>& j) {
    std::vector<size_t> at;
    for (size_t i = 0; i + 1 < j.size(); ++i)
        if (j[i] == 0xFF && j[i + 1] >= 0xD0 && j[i + 1] <= 0xD7) at.push_back(i);
    return at;
}

TEST(CarveWalkers, JpegRestartMarkerOutOfTurnIsWhereItsDataStops) {
    const auto good = Sample("restart.jpg");
    const auto rst = RestartMarkers(good);
    ASSERT_GT(rst.size(), 8u);
    // The data of three restart intervals gone: the marker after the second comes out of turn.
    std::vector<uint8_t> spliced(good.begin(), good.begin() + static_cast<std::ptrdiff_t>(rst[2]));
    spliced.insert(spliced.end(), good.begin() + static_cast<std::ptrdiff_t>(rst[5]), good.end());
    const TCarveHit h = Walk(WalkJpeg, spliced);
    EXPECT_EQ(h.End, TCarveEnd::CutShort);
    EXPECT_EQ(h.Length, rst[2]);
    // The data before it decodes; the interval before the break is not vouched for.
    EXPECT_GE(h.ProvenBytes, rst[0]);
    EXPECT_LE(h.ProvenBytes, rst[2]);
}

// A photo in two pieces with other bytes between them: the markers carry on through text
// (no 0xFF in it) to the second piece's end mark, so only decoding tells. The data is proven
// up to the gap, not beyond it, though the decoder itself complains only later.
TEST(CarveWalkers, JpegWithAGapInsideIsNeverComplete) {
    struct TGap {
        const char* Name;
        std::vector<uint8_t> Bytes;
    };
    std::vector<uint8_t> text(4096), noise(4096);
    for (size_t i = 0; i < text.size(); ++i) text[i] = static_cast<uint8_t>("Dear Sir, thank you for your letter. "[i % 37]);
    const auto other = Sample("photo.jpg");
    std::copy(other.begin() + 12288, other.begin() + 16384, noise.begin());  // another photo's coded data
    const std::vector<TGap> gaps{{"text", text}, {"another photo", noise}};
    for (const char* file : {"photo.jpg", "restart.jpg"}) {
        const auto whole = Sample(file);
        for (const TGap& g : gaps) {
            SCOPED_TRACE(std::string(file) + " with " + g.Name);
            const size_t split = 16384;
            std::vector<uint8_t> bytes(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(split));
            bytes.insert(bytes.end(), g.Bytes.begin(), g.Bytes.end());
            bytes.insert(bytes.end(), whole.begin() + static_cast<std::ptrdiff_t>(split), whole.end());
            const TCarveHit h = Walk(WalkJpeg, bytes);
            EXPECT_NE(h.End, TCarveEnd::Complete);
            EXPECT_NE(h.End, TCarveEnd::NotFile);
            // Proven up to a little before the gap, never into it: where a rebuild looks on.
            EXPECT_LE(h.ProvenBytes, split);
            EXPECT_GE(h.ProvenBytes, split - 8192);
            EXPECT_LT(DecodedShare(h), 100);
        }
    }
}

// Bytes changed inside, the structure left whole: only the content's own check finds them,
// and the file is proven up to where they are.
TEST(CarveWalkers, ContentThatFailsItsCheckIsDamagedNotComplete) {
    struct TDamage {
        const char* File;
        TCarveHit (*Walk)(TCarveInput&);
        size_t At;              // where the bytes are changed
        size_t Count;           // how many
        uint64_t ProvenAtMost;  // where the check must stop at the latest
    };
    const auto docx = Sample("report.docx");
    // The second member's deflated data: its CRC-32 fails, the first member's holds.
    size_t second = 0;
    for (size_t i = 1; i + 30 < docx.size() && !second; ++i)
        if (docx[i] == 'P' && docx[i + 1] == 'K' && docx[i + 2] == 3 && docx[i + 3] == 4) second = i;
    ASSERT_GT(second, 0u);
    const size_t secondData = second + 30 + (docx[second + 26] | docx[second + 27] << 8) + (docx[second + 28] | docx[second + 29] << 8);
    // An object the cross-reference table points at, no longer there.
    const auto pdf = Sample("typeset.pdf");
    const std::string pdfText(pdf.begin(), pdf.end());
    const size_t obj = pdfText.find("\n5 0 obj") + 1;
    // The same in a compressed cross-reference stream.
    const auto xpdf = Sample("xrefstream.pdf");
    const size_t xobj = std::string(xpdf.begin(), xpdf.end()).find("\n16 0 obj") + 1;
    // Inside one data sub-block of a GIF half-way through, its length bytes left alone: only
    // decoding the codes shows it.
    const auto gif = Sample("plasma.gif");
    size_t sb = 13 + (gif[10] & 0x80 ? 3u << ((gif[10] & 7) + 1) : 0);
    while (gif[sb] == 0x21) {
        sb += 2;
        while (gif[sb]) sb += gif[sb] + 1u;
        ++sb;
    }
    const size_t imageAt = sb;
    sb += 10 + (gif[sb + 9] & 0x80 ? 3u << ((gif[sb + 9] & 7) + 1) : 0) + 1;
    while (sb + 256 < gif.size() / 2) sb += gif[sb] + 1u;
    ASSERT_GE(gif[sb], 100);
    // A movie whose first chunk offset points past its end.
    const auto mp4 = Sample("clip.mp4");
    const size_t stco = std::string(mp4.begin(), mp4.end()).find("stco") + 12;
    const std::vector<TDamage> cases{
        {"report.docx", WalkZip, secondData + 2, 1, second},
        {"typeset.pdf", WalkPdf, obj, 8, obj},
        {"restart.jpg", WalkJpeg, 16000, 64, 16000},
        {"xrefstream.pdf", WalkPdf, xobj, 8, xobj},
        {"plasma.gif", WalkGif, sb + 17, 64, imageAt},
        {"clip.mp4", WalkIsoBmff, stco, 4, 32},
    };
    for (const TDamage& d : cases) {
        SCOPED_TRACE(d.File);
        auto bytes = Sample(d.File);
        for (size_t i = 0; i < d.Count; ++i) bytes[d.At + i] = static_cast<uint8_t>("(draft) "[i % 8]);
        const TCarveHit h = Walk(d.Walk, bytes);
        EXPECT_STREQ(EndName(h.End), "Damaged");
        EXPECT_EQ(h.Length, bytes.size());
        EXPECT_LE(h.ProvenBytes, d.ProvenAtMost);
        EXPECT_LT(DecodedShare(h), 100);
    }
}

// A file stored in clusters, one of which now holds another file's bytes: its structure may
// run on through them untouched, so only a check of the content itself can call it whole.
TEST(CarveWalkers, ForeignClusterInsideTheBodyIsNeverComplete) {
    const auto pdf = Sample("typeset.pdf"), photo = Sample("restart.jpg");
    for (const TCase& c : Cases()) {
        SCOPED_TRACE(c.File);
        auto bytes = Sample(c.File);
        const auto& other = c.Walk == WalkPdf ? photo : pdf;
        // A cluster's worth (less in the smallest samples) half-way through, in whole sectors
        // where the file is big enough to have them.
        const size_t n = std::min<size_t>(4096, bytes.size() / 3);
        size_t at = bytes.size() / 2 - n / 2;
        if (bytes.size() > 3 * 4096) at = at / 4096 * 4096;
        std::copy(other.begin() + 4096, other.begin() + 4096 + static_cast<std::ptrdiff_t>(n),
                  bytes.begin() + static_cast<std::ptrdiff_t>(at));
        const TCarveHit h = Walk(c.Walk, bytes);
        EXPECT_STRNE(EndName(h.End), "Complete");
        if (h.End == TCarveEnd::Damaged) {
            EXPECT_LE(h.ProvenBytes, at + n);
        }
        EXPECT_LT(DecodedShare(h), 100);
    }
}

TEST(CarveWalkers, JpegWhoseDataRunsIntoZeroedSectorsEndsThere) {
    auto bytes = Sample("camera.jpg");
    ASSERT_GT(bytes.size(), 2048u);
    std::fill(bytes.begin() + 1536, bytes.end() - 2, 0);  // the end mark is still there after the zeros
    const TCarveHit h = Walk(WalkJpeg, bytes);
    EXPECT_EQ(h.End, TCarveEnd::CutShort);
    EXPECT_EQ(h.Length, 1536u);
}

TEST(CarveWalkers, PdfEndsAtTheLastUpdateNotTheFirstEndMark) {
    const auto bytes = Sample("update.pdf");
    const std::string s(bytes.begin(), bytes.end());
    ASSERT_NE(s.find("%%EOF"), s.rfind("%%EOF"));
    // Only the first end mark and what follows it up to a zeroed sector.
    std::vector<uint8_t> first(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(s.find("%%EOF") + 6));
    first.resize(2048, 0);
    const TCarveHit h = Walk(WalkPdf, first);
    EXPECT_EQ(h.End, TCarveEnd::Complete);
    EXPECT_EQ(h.Length, s.find("%%EOF") + 6);
    EXPECT_EQ(Walk(WalkPdf, bytes).Length, bytes.size());
}

TEST(CarveWalkers, Mp3WithoutTagNeedsARunOfFramesNotAChanceFew) {
    const auto tagged = Sample("song.mp3");
    const size_t tagLen = 10 + (size_t{tagged[6]} << 21 | size_t{tagged[7]} << 14 | size_t{tagged[8]} << 7 | tagged[9]);
    const std::vector<uint8_t> bare(tagged.begin() + static_cast<std::ptrdiff_t>(tagLen), tagged.end());
    const TCarveHit h = Walk(WalkMp3, bare);
    EXPECT_EQ(h.End, TCarveEnd::Complete);
    EXPECT_EQ(h.Length, bare.size());
    EXPECT_EQ(h.Title, "");
    // Three frames, then text: frame-like bytes happen in other data.
    std::vector<uint8_t> few(bare.begin(), bare.begin() + 3 * 288);
    for (int i = 0; i < 2000; ++i) few.push_back(static_cast<uint8_t>("old text, "[i % 10]));
    EXPECT_EQ(Walk(WalkMp3, few).End, TCarveEnd::NotFile);
}

// The tag in front of the sound: its frames and zero padding are checked, a picture in it
// that spans a whole cluster cannot be.
TEST(CarveWalkers, Mp3TagIsVouchedForOnlyAsFarAsItCanBe) {
    const auto tagged = Sample("song.mp3");
    const size_t tagLen = 10 + (size_t{tagged[6]} << 21 | size_t{tagged[7]} << 14 | size_t{tagged[8]} << 7 | tagged[9]);
    const std::vector<uint8_t> sound(tagged.begin() + static_cast<std::ptrdiff_t>(tagLen), tagged.end());
    // An ID3v2.4 tag of one frame of n bytes (its content made of c), then padding.
    auto withTag = [&](size_t n, uint8_t c, size_t padding, uint8_t pad) {
        std::vector<uint8_t> t{'I', 'D', '3', 4, 0, 0, 0, 0, 0, 0, 'A', 'P', 'I', 'C'};
        for (int shift : {21, 14, 7, 0}) t.push_back(static_cast<uint8_t>((n >> shift) & 0x7F));
        t.insert(t.end(), {0, 0});
        t.insert(t.end(), n, c);
        t.insert(t.end(), padding, pad);
        const size_t body = t.size() - 10;
        for (int i = 0; i < 4; ++i) t[6 + static_cast<size_t>(i)] = static_cast<uint8_t>((body >> (21 - 7 * i)) & 0x7F);
        t.insert(t.end(), sound.begin(), sound.end());
        return t;
    };
    struct TTag {
        const char* Name;
        std::vector<uint8_t> Bytes;
        TCarveEnd End;
    };
    const std::vector<TTag> tags{
        {"small picture", withTag(1000, 0x41, 512, 0), TCarveEnd::Complete},
        {"picture over a cluster", withTag(9000, 0x41, 512, 0), TCarveEnd::Damaged},
        {"padding not zeros", withTag(1000, 0x41, 512, 0x25), TCarveEnd::Damaged},
    };
    for (const TTag& t : tags) {
        SCOPED_TRACE(t.Name);
        const TCarveHit h = Walk(WalkMp3, t.Bytes);
        EXPECT_STREQ(EndName(h.End), EndName(t.End));
        EXPECT_EQ(h.Length, t.Bytes.size());
        if (t.End == TCarveEnd::Damaged) {
            EXPECT_LT(h.ProvenBytes, 9000u);
        }
    }
}

TEST(CarveWalkers, FlacWithoutASampleCountEndsWhereItsLastFrameChecks) {
    auto bytes = Sample("song.flac");
    const size_t size = bytes.size();
    std::fill(bytes.begin() + 21, bytes.begin() + 26, 0);  // total samples: low 36 bits of STREAMINFO's bytes 13-17
    bytes[21] = static_cast<uint8_t>(Sample("song.flac")[21] & 0xF0);
    bytes.insert(bytes.end(), 3000, 0x41);
    const TCarveHit h = Walk(WalkFlac, bytes);
    EXPECT_EQ(h.End, TCarveEnd::Complete);
    EXPECT_EQ(h.Length, size);
}

TEST(CarveWalkers, MatroskaOfAnotherDocTypeIsNotTaken) {
    auto bytes = Sample("garden.webm");
    const std::string s(bytes.begin(), bytes.end());
    const size_t at = s.find("webm");
    ASSERT_NE(at, std::string::npos);
    bytes[at] = 'x';
    EXPECT_EQ(Walk(WalkMatroska, bytes).End, TCarveEnd::NotFile);
}

TEST(CarveWalkers, StartsThatAreNotFilesAreRefused) {
    const std::vector<std::vector<uint8_t>> junk{
        std::vector<uint8_t>(4096, 0),
        {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x01},                     // segment length below 2
        {0x89, 'P', 'N', 'G', '\r', '\n', 0x1A, '\n', 0, 0, 0, 13, 'I', 'H', 'D', 'R'},  // no CRC
        {'P', 'K', 3, 4, 20, 0, 0, 0, 77, 0},                     // unknown method
        {'B', 'M', 0, 0, 0, 0, 0, 0, 0, 0},
        {'I', 'I', '*', 0, 8, 0, 0, 0, 0, 0},                     // an IFD with no entries
    };
    for (size_t i = 0; i < junk.size(); ++i)
        for (const TCarveFormat& f : CarveFormats()) {
            SCOPED_TRACE(std::string(f.Name) + " on junk " + std::to_string(i));
            EXPECT_EQ(Walk(f.Walk, junk[i]).End, TCarveEnd::NotFile);
        }
}

} // namespace
