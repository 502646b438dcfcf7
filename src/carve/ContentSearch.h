#pragma once
#include <cstdint>
#include <functional>
#include <span>
#include <string>
#include <vector>

#include "core/ByteSource.h"
#include "core/FoundFile.h"
#include "core/ReaderReport.h"
#include "core/ReaderResult.h"

namespace brivo {

struct TCarveOptions {
    // Byte ranges of the volume to search, such as its free clusters; empty searches it
    // all. They are searched as one run of bytes in offset order, so a file that spans
    // from one free range to the next (the clusters between were in use) comes back whole.
    std::vector<TByteExtent> Areas;
    // Extensions to look for ("jpg", "pdf", "docx"); empty looks for every kind.
    std::vector<std::string> Types;
    // Bytes read at a time.
    uint32_t BlockBytes = 4u << 20;
    // The clusters files are written in, counted from each file's first byte: a file
    // that breaks off is followed to the start of a later cluster that carries it on.
    uint32_t ClusterBytes = 4096;
    // Shown every block read, before it is searched, for a caller that looks for
    // something else in the same bytes and so spares the source a second reading: a block
    // that spans areas is shown area by area; `at` is the first byte's place in the volume,
    // `bytes` run on with up to kEachBlockTail bytes of the next block where it lies right
    // after, and what starts in the first `starts` bytes is this block's. With it set, no
    // byte is stepped over, not even inside a file already found.
    std::function<void(uint64_t at, std::span<const uint8_t> bytes, uint64_t starts)> EachBlock;
    // Volume offsets where files the file system lists start, sorted: a find there is that
    // file, left out afterwards, so no time goes into rebuilding it from pieces.
    std::vector<uint64_t> KnownStarts;
};

inline constexpr uint32_t kEachBlockTail = 4096;

// Finds files by their content: reads the areas in large blocks, tries every 512-byte
// sector start for a known file signature, and walks each candidate's own structure to
// its end. Results carry FoundBy Content and their byte extents in the volume; paths are
// "/$Found by content/<TYPE>/<name>.<ext>", the name from the content where it names
// itself (a photo's EXIF date and camera, a document's title) else f<sector>. Only a file
// its format's check proves whole is "Complete" (a picture decoded to its last row, every
// CRC matched, every cross-reference landing on its object); one that fails inside is
// "Damaged at N%" with the share that decodes, one that breaks off "Cut short". A JPEG,
// PNG, ZIP or PDF whose check fails at a cluster boundary is followed to the later clusters
// that carry its check on, and listed once from all its pieces ("Complete (in N
// pieces)"); those clusters are not searched again. A JPEG cut short by another file
// whose data goes on right after that file is joined from the two pieces ("In pieces").
// Stop keeps
// what was found so far. Throws nothing for unreadable sectors: they are logged and
// skipped.
TReaderResult SearchByContent(TByteSource& volume, TReaderReport& report, const TCarveOptions& opts);

// Drops content results whose first byte is where a file listed by its metadata starts
// (knownStarts: byte offsets in the same volume), so no file is listed twice.
void DropKnownStarts(TFoundFiles& found, std::vector<uint64_t> knownStarts);

// Every extension the search can give (lower case, sorted), for help and error texts.
std::vector<std::string> KnownContentTypes();
// True when the search looks for this kind: "jpg", "JPEG", ".pdf", "*.docx".
bool IsKnownContentType(const std::string& type);

// The condition words of a content result, and their scores on the scale of the other
// routes' condition estimate.
inline constexpr const char* kCarveComplete = "Complete";
inline constexpr const char* kCarveCutShort = "Cut short";
// A picture joined from two runs of clusters around another file.
inline constexpr const char* kCarveInPieces = "In pieces";
// A file rebuilt from clusters scattered over the area, every piece proven by the
// format's own check (a JPEG's coded data, a PNG chunk's CRC); scored as complete.
inline constexpr const char* kCarveCompleteInPieces = "Complete (in %s pieces)";
// A file whose structure runs whole but whose content fails its check inside; %s is the
// share that decodes.
inline constexpr const char* kCarveDamaged = "Damaged at %d%%";
// A file whose structure runs whole but whose format gives its content no check (pixels,
// sound, pages): nothing says it is wrong, and nothing proves it the original.
inline constexpr const char* kCarveUnchecked = "Whole, content not checked";
inline constexpr int kCarveCompleteScore = 90;
inline constexpr int kCarveCutShortScore = 30;
inline constexpr int kCarveInPiecesScore = 60;
inline constexpr int kCarveDamagedScore = 45;
inline constexpr int kCarveUncheckedScore = 75;

} // namespace brivo
