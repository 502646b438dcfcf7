#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "carve/CarveInput.h"
#include "core/FoundFile.h"

namespace brivo::carve {

enum class TCarveEnd : uint8_t {
    NotFile,   // the start does not hold up: not this format
    Complete,  // the structure runs whole to its own end
    CutShort,  // the structure starts well but breaks off or runs past the searched area
    Damaged,   // the structure runs to its own end, but the content's check fails inside it
};

// What a walker makes of a candidate start.
struct TCarveHit {
    TCarveEnd End = TCarveEnd::NotFile;
    uint64_t Length = 0;  // bytes that belong to the file, from its start; never past Size()
    // How far from the start the content checks out by the format's own proof (a picture
    // decoded, CRCs matched, offsets landing on what they point at): Length for a Complete
    // file, less where the check fails. A file in pieces goes on somewhere after this.
    uint64_t ProvenBytes = 0;
    // The share of the content that decodes, 0 to 100, where the format measures it in its
    // own units (a picture's rows); -1 leaves it to ProvenBytes against Length.
    int DecodedPercent = -1;
    // The structure runs whole but the format gives its content no check (pixels, sound
    // samples, pages): never Complete, yet nothing says where it goes wrong either, so the
    // search does not look for other files inside it.
    bool ContentUnchecked = false;
    std::string Ext;      // "jpg", "docx", ...
    std::string Title;    // a name the content gives itself, without extension; may be empty
    TDateTime ModDate = 0;
    bool HasModDate = false;
};

// One format family: a cheap test of the first bytes at a sector start, and the walker that
// follows the structure from there.
struct TCarveFormat {
    std::string_view Name;                // "JPEG"
    std::vector<std::string_view> Exts;   // every extension the walker may give
    std::vector<uint8_t> FirstBytes;      // every byte its signature may begin with
    bool (*Sniff)(std::span<const uint8_t> head);  // head: at least 64 bytes, zero-padded
    TCarveHit (*Walk)(TCarveInput& in);
};

// Every family, in the order candidates are tried.
const std::vector<TCarveFormat>& CarveFormats();

// The walkers, each a pure function of the bytes the input gives.
TCarveHit WalkJpeg(TCarveInput& in);
TCarveHit WalkPng(TCarveInput& in);
TCarveHit WalkGif(TCarveInput& in);
TCarveHit WalkBmp(TCarveInput& in);
TCarveHit WalkTiff(TCarveInput& in);
TCarveHit WalkIsoBmff(TCarveInput& in);
TCarveHit WalkRiff(TCarveInput& in);
TCarveHit WalkPdf(TCarveInput& in);
TCarveHit WalkZip(TCarveInput& in);
TCarveHit WalkOle2(TCarveInput& in);
TCarveHit WalkSqlite(TCarveInput& in);
TCarveHit WalkGzip(TCarveInput& in);
TCarveHit Walk7z(TCarveInput& in);
TCarveHit WalkOgg(TCarveInput& in);
TCarveHit WalkRtf(TCarveInput& in);
TCarveHit WalkMatroska(TCarveInput& in);
TCarveHit WalkMp3(TCarveInput& in);
TCarveHit WalkFlac(TCarveInput& in);
TCarveHit WalkRar(TCarveInput& in);

// Shared by the walkers: a hit that ends at length, complete or cut short, its structure
// holding up to there.
inline TCarveHit Ended(TCarveEnd end, uint64_t length, std::string ext) {
    TCarveHit h;
    h.End = end;
    h.Length = length;
    h.ProvenBytes = length;
    h.Ext = std::move(ext);
    return h;
}

// A whole structure whose content nothing checks: a cluster of another file inside it would
// leave no trace, so it is Damaged, proven only as far as its own headers (proven).
inline TCarveHit Unchecked(uint64_t length, uint64_t proven, std::string ext) {
    TCarveHit h = Ended(TCarveEnd::Damaged, length, std::move(ext));
    h.ProvenBytes = proven < length ? proven : length;
    h.ContentUnchecked = true;
    return h;
}

// The share of a hit that decodes, 0 to 100: never 100 unless it is Complete.
int DecodedShare(const TCarveHit& hit);

// What decoding a JPEG's first length bytes shows.
struct TJpegCheck {
    bool Ran = false;      // false: the decoder cannot read this kind (lossless, 12-bit, too large)
    bool Clean = false;    // every row decoded and the end mark reached without a warning
    uint64_t ProvenBytes = 0;  // bytes read by the decoder through the last row that decoded clean
    uint32_t RowsClean = 0, Rows = 0;  // output rows (at 1/8 scale) decoded clean, of all
    // Of a clean decoding: rows that jump from the one above far beyond how the rows before
    // do (counted up to 8), the mark data from elsewhere leaves where it begins even when
    // it decodes clean; and the bytes read once the last of them was decoded.
    uint32_t JumpRows = 0;
    uint64_t LastJumpAt = 0;
};
// Decodes at 1/8 scale with every corrupt-data warning caught, reading through in a block
// at a time; stops at the first warning.
TJpegCheck CheckJpeg(TCarveInput& in, uint64_t length);

// A PDF's cross-reference sections, for the check and for the rebuild from pieces.
using TPdfPlace = std::function<void(uint64_t num, uint64_t offset)>;
// Cross-reference entries read in all, over a document's sections: a bound on the work.
inline constexpr uint64_t kPdfMaxXrefEntries = 4u << 20;
// The section (a table with its trailer, or a stream) at `at`: place(num, offset) for every
// object it lists in use; prev the offset /Prev gives, ~0 when there is none. Table entries
// count against budget. False when the section cannot be read.
bool ReadPdfXref(TCarveInput& in, uint64_t at, uint64_t end, const TPdfPlace& place, uint64_t& prev,
                 uint64_t& budget);
// The offset "startxref" gives in the last KiB before end.
bool PdfStartXref(TCarveInput& in, uint64_t end, uint64_t& at);
// "num gen obj" at `at`, white space before it allowed, ending before end.
bool PdfObjectAt(TCarveInput& in, uint64_t at, uint64_t num, uint64_t end);

} // namespace brivo::carve
