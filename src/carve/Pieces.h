#pragma once
#include <cstdint>
#include <map>
#include <span>
#include <vector>

#include "carve/AreaView.h"
#include "carve/CarveFormat.h"

namespace brivo::carve {

// A run of a file's bytes in the searched area (logical offsets, as TAreaView counts).
struct TPiece {
    uint64_t Logical = 0, Length = 0;
    bool operator==(const TPiece&) const = default;
};

// Clusters taken by files rebuilt from pieces: no other file is rebuilt from them, and no
// file is found starting inside them.
class TClaims {
public:
    void Claim(uint64_t logical, uint64_t length);
    bool Claimed(uint64_t logical) const;
    // Forgets what lies wholly before logical; the search never looks back there.
    void DropBefore(uint64_t logical);

private:
    std::map<uint64_t, uint64_t> runs_;  // start -> end
};

// How far after a break the next piece is looked for, and then as far before it. Writers
// that interleave two files or put a file around another leave gaps of a few clusters to a
// few hundred KiB; 4 MiB holds a whole photo of the same card between the pieces, and
// bounds the work per break to one read of 8 MiB and a cluster's walk per candidate.
inline constexpr uint64_t kPieceSearchBytes = 4u << 20;
// True when no two of the pieces share a byte.
bool Disjoint(std::vector<TPiece> pieces);

// A file is rebuilt from at most this many pieces; each one is proven before the next.
// Two writers at once on a card can leave a photo in runs of a single cluster each.
inline constexpr size_t kMaxPieces = 128;

// What the rebuild made of a hit.
enum class TPieceVerdict : uint8_t {
    Untried,  // not a format or a picture kind this can follow across pieces
    Whole,    // the file checks out as one piece, just as found
    Broken,   // it breaks, and no piece was found that carries it on to its end
    Rebuilt,  // proven whole from two or more pieces
};

class TPieceSearch {
public:
    // cluster: the grid a file's pieces start on, counted from the file's first byte.
    TPieceSearch(TAreaView& view, const std::vector<const TCarveFormat*>& all, TClaims& claims, uint64_t cluster);

    // For the file found at logical start (hit: what its walker made of it): follows it
    // across breaks at cluster boundaries to the clusters that carry its check on. Only
    // on Rebuilt are pieces (the file's runs in order) and hit (now Complete, its new
    // length) changed.
    TPieceVerdict Rebuild(const TCarveFormat& format, uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces);

    // Bytes at a logical offset, from a window of recent reads where it holds them.
    size_t Read(uint64_t logical, uint8_t* buf, size_t n);
    // A cluster that begins with zeros, another file's start, or a claimed cluster.
    bool Foreign(uint64_t logical, bool textToo);
    uint64_t Total() const { return view_.Total(); }
    uint64_t Cluster() const { return cluster_; }
    TClaims& Claims() { return claims_; }
    // Pins the bytes the candidates for a break at logical can be read from: the bound
    // after it and before it, and extra bytes past the last.
    void PinAround(uint64_t logical, uint64_t extra);
    // Where a piece may go on after a break at logical: the cluster starts within the
    // bound after it, nearest first, then those before it outside the file's pieces.
    enum class TSide : uint8_t { After, Before, Both };
    std::vector<uint64_t> Candidates(uint64_t logical, const std::vector<TPiece>& pieces,
                                     TSide side = TSide::Both) const;

private:
    TPieceVerdict RebuildJpeg(uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces);
    TPieceVerdict RebuildPng(uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces);
    // An image data chunk at chunkAt (len bytes of data) that runs over more than one break:
    // followed cluster by cluster where its data goes on unpacking to rows. True when the
    // pieces (current) now carry it to its end.
    bool FollowImageData(std::vector<TPiece>& current, uint64_t chunkAt, uint64_t len);
    TPieceVerdict RebuildZip(uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces);
    // An archive whose central directory lies on the disk near its start: every member
    // where the directory places it, each one's data checking out across the breaks.
    TPieceVerdict RebuildZipByDirectory(uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces);
    TPieceVerdict RebuildPdf(uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces);
    // The PDF at start as the document whose "startxref" stands at logical tail and whose
    // end mark ends at logical end (both in the pinned window), xref the offset it gives.
    bool RebuildPdfTo(uint64_t start, uint64_t tail, uint64_t end, uint64_t xref, std::vector<TPiece>& pieces);
    // Reads [from, from + n) into the pinned window, where the candidates are read from.
    void Pin(uint64_t from, uint64_t n);
    // The shifts (a piece's place on the disk against its place in the file) a piece after
    // one at shift may have: whole clusters within the bound later, nearest first, then
    // earlier.
    std::vector<int64_t> Shifts(int64_t shift) const;

    TAreaView& view_;
    const std::vector<const TCarveFormat*>& all_;
    TClaims& claims_;
    uint64_t cluster_;
    std::vector<uint8_t> pinned_, recent_;
    uint64_t pinnedAt_ = 0, recentAt_ = 0;
    size_t pinnedLen_ = 0, recentLen_ = 0;
};

// A file's bytes as the concatenation of its pieces; the last one runs on to the end of
// the searched area, so a walker can go on past where the pieces are known.
class TPiecesInput : public TCarveInput {
public:
    TPiecesInput(TPieceSearch& search, std::vector<TPiece> pieces, bool textForeign);
    uint64_t Size() const override { return size_; }
    size_t Read(uint64_t offset, uint8_t* buf, size_t n) override;
    bool EndsHere(uint64_t offset) override;
    // The logical offset of a byte of the file; Total() past the end.
    uint64_t Logical(uint64_t offset) const;
    const std::vector<TPiece>& Pieces() const { return pieces_; }

private:
    TPieceSearch& search_;
    std::vector<TPiece> pieces_;
    uint64_t size_ = 0;
    bool textForeign_;
};

} // namespace brivo::carve
