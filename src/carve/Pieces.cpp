#include "carve/Pieces.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <deque>
#include <functional>
#include <memory>
#include <set>
#include <string>
#include <string_view>

#include "carve/JpegEntropy.h"

namespace brivo::carve {

namespace {

constexpr uint64_t kNone = ~uint64_t{0};

// The file's runs with the last one cut at `at` (its own concatenated offset) and the
// candidate cluster put after it.
std::vector<TPiece> With(std::vector<TPiece> pieces, uint64_t cutAt, uint64_t candidate) {
    uint64_t before = 0;
    for (size_t i = 0; i + 1 < pieces.size(); ++i) before += pieces[i].Length;
    pieces.back().Length = cutAt - before;
    pieces.push_back({candidate, 0});
    return pieces;
}

uint64_t StartOfLast(const std::vector<TPiece>& pieces) {
    uint64_t before = 0;
    for (size_t i = 0; i + 1 < pieces.size(); ++i) before += pieces[i].Length;
    return before;
}

// The pieces as they stand once the file ends at `end` (concatenated): the last one
// trimmed to it, and pieces that were left empty dropped.
std::vector<TPiece> EndAt(std::vector<TPiece> pieces, uint64_t end) {
    pieces.back().Length = end - StartOfLast(pieces);
    std::erase_if(pieces, [](const TPiece& p) { return p.Length == 0; });
    return pieces;
}

// A walk through the pieces that came out whole: the file as its pieces, and the hit as
// a proven one of that length. One piece only means nothing was rebuilt.
TPieceVerdict AcceptWhole(const std::vector<TPiece>& current, const TCarveHit& walked, TCarveHit& hit,
                          std::vector<TPiece>& pieces) {
    pieces = EndAt(current, walked.Length);
    if (pieces.size() < 2) return TPieceVerdict::Whole;
    if (!Disjoint(pieces)) {
        pieces.clear();
        return TPieceVerdict::Broken;
    }
    hit.End = TCarveEnd::Complete;
    hit.Length = hit.ProvenBytes = walked.Length;
    hit.DecodedPercent = -1;
    return TPieceVerdict::Rebuilt;
}

bool Printable(const uint8_t* p, size_t n) {
    for (size_t i = 0; i < n; ++i)
        if (!(p[i] == '\t' || p[i] == '\n' || p[i] == '\r' || (p[i] >= 0x20 && p[i] < 0x7F))) return false;
    return true;
}

} // namespace

// ---- claims -------------------------------------------------------------------------

void TClaims::Claim(uint64_t logical, uint64_t length) {
    if (length) runs_[logical] = std::max(runs_[logical], logical + length);
}

bool TClaims::Claimed(uint64_t logical) const {
    auto it = runs_.upper_bound(logical);
    if (it == runs_.begin()) return false;
    --it;
    return logical < it->second;
}

void TClaims::DropBefore(uint64_t logical) {
    std::erase_if(runs_, [&](const auto& r) { return r.second <= logical; });
}

// ---- the file as its pieces ---------------------------------------------------------

TPiecesInput::TPiecesInput(TPieceSearch& search, std::vector<TPiece> pieces, bool textForeign)
    : search_(search), pieces_(std::move(pieces)), textForeign_(textForeign) {
    if (pieces_.empty()) return;
    const uint64_t total = search_.Total();
    TPiece& last = pieces_.back();
    last.Length = last.Logical < total ? total - last.Logical : 0;
    for (const TPiece& p : pieces_) size_ += p.Length;
}

uint64_t TPiecesInput::Logical(uint64_t offset) const {
    for (const TPiece& p : pieces_) {
        if (offset < p.Length) return p.Logical + offset;
        offset -= p.Length;
    }
    return search_.Total();
}

size_t TPiecesInput::Read(uint64_t offset, uint8_t* buf, size_t n) {
    size_t done = 0;
    uint64_t skip = offset;
    for (const TPiece& p : pieces_) {
        if (done == n) break;
        if (skip >= p.Length) {
            skip -= p.Length;
            continue;
        }
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n - done, p.Length - skip));
        const size_t got = search_.Read(p.Logical + skip, buf + done, k);
        done += got;
        if (got < k) break;
        skip = 0;
    }
    return done;
}

bool TPiecesInput::EndsHere(uint64_t offset) {
    const uint64_t at = Logical(offset);
    return at >= search_.Total() || search_.Foreign(at, textForeign_);
}

// ---- the search ---------------------------------------------------------------------

TPieceSearch::TPieceSearch(TAreaView& view, const std::vector<const TCarveFormat*>& all, TClaims& claims,
                           uint64_t cluster)
    : view_(view), all_(all), claims_(claims), cluster_(std::max<uint64_t>(cluster, 512)) {}

size_t TPieceSearch::Read(uint64_t logical, uint8_t* buf, size_t n) {
    if (logical >= pinnedAt_ && logical - pinnedAt_ + n <= pinnedLen_) {
        std::memcpy(buf, pinned_.data() + (logical - pinnedAt_), n);
        return n;
    }
    if (n > 64 * 1024) return view_.Read(logical, buf, n);
    if (!(logical >= recentAt_ && logical - recentAt_ + n <= recentLen_)) {
        // Walks go forward: read ahead, so a walk costs one read per 256 KiB.
        recent_.resize(256 * 1024);
        recentAt_ = logical;
        recentLen_ = view_.Read(logical, recent_.data(), recent_.size());
        if (recentLen_ < n) {
            const size_t k = recentLen_;
            std::memcpy(buf, recent_.data(), k);
            return k;
        }
    }
    std::memcpy(buf, recent_.data() + (logical - recentAt_), n);
    return n;
}

void TPieceSearch::Pin(uint64_t from, uint64_t n) {
    // No more than the area holds: a small area is not padded out to the bound.
    n = from < Total() ? std::min(n, Total() - from) : 0;
    pinned_.resize(static_cast<size_t>(n));
    pinnedLen_ = 0;  // no stale bytes are served while it fills
    pinnedLen_ = view_.Read(from, pinned_.data(), pinned_.size());
    pinnedAt_ = from;
}

void TPieceSearch::PinAround(uint64_t logical, uint64_t extra) {
    const uint64_t back = std::min<uint64_t>(logical, kPieceSearchBytes + 64 * 1024);
    const uint64_t from = logical - back, to = std::min(Total(), logical + kPieceSearchBytes + cluster_ + extra);
    // Breaks a few clusters apart read the same bytes: the window read for one holds the
    // next one's too, with a MiB of room on either side.
    if (from >= pinnedAt_ && to <= pinnedAt_ + pinnedLen_) return;
    constexpr uint64_t kRoom = 1u << 20;
    const uint64_t lo = from - std::min(from, kRoom);
    Pin(lo, to + kRoom - lo);
}

std::vector<uint64_t> TPieceSearch::Candidates(uint64_t logical, const std::vector<TPiece>& pieces, TSide side) const {
    std::vector<uint64_t> out;
    if (side != TSide::Before)
        for (uint64_t c = logical + cluster_; c < Total() && c < logical + kPieceSearchBytes; c += cluster_) out.push_back(c);
    if (side == TSide::After) return out;
    // Then before: an allocator that found the space after a file's first run taken puts
    // the rest where it finds room, before it too (ext2 does, for a file written over
    // the end of a block group). Not in the file's own pieces so far.
    for (uint64_t d = cluster_; d <= logical && d < kPieceSearchBytes; d += cluster_) {
        const uint64_t c = logical - d;
        bool own = c >= pieces.back().Logical && c < logical;
        for (size_t i = 0; i + 1 < pieces.size() && !own; ++i)
            own = c >= pieces[i].Logical && c < pieces[i].Logical + pieces[i].Length;
        if (!own) out.push_back(c);
    }
    return out;
}

bool Disjoint(std::vector<TPiece> pieces) {
    std::sort(pieces.begin(), pieces.end(), [](const TPiece& a, const TPiece& b) { return a.Logical < b.Logical; });
    for (size_t i = 1; i < pieces.size(); ++i)
        if (pieces[i - 1].Logical + pieces[i - 1].Length > pieces[i].Logical) return false;
    return true;
}

bool TPieceSearch::Foreign(uint64_t logical, bool textToo) {
    if (claims_.Claimed(logical)) return true;
    std::array<uint8_t, 512> s{};
    const size_t got = Read(logical, s.data(), s.size());
    if (got < 64) return true;
    if (std::all_of(s.begin(), s.begin() + static_cast<std::ptrdiff_t>(got), [](uint8_t b) { return b == 0; }))
        return true;
    for (const TCarveFormat* f : all_)
        if (f->Sniff(std::span<const uint8_t>(s.data(), 64))) return true;
    // Compressed data never runs a whole sector in plain text.
    return textToo && got == s.size() && Printable(s.data(), s.size());
}

TPieceVerdict TPieceSearch::Rebuild(const TCarveFormat& format, uint64_t start, TCarveHit& hit,
                                    std::vector<TPiece>& pieces) {
    pieces.clear();
    if (format.Walk == WalkJpeg) return RebuildJpeg(start, hit, pieces);
    if (format.Walk == WalkPng) return RebuildPng(start, hit, pieces);
    if (format.Walk == WalkZip) {
        const TPieceVerdict v = RebuildZip(start, hit, pieces);
        if (v == TPieceVerdict::Rebuilt || v == TPieceVerdict::Whole) return v;
        pieces.clear();
        return RebuildZipByDirectory(start, hit, pieces) == TPieceVerdict::Rebuilt ? TPieceVerdict::Rebuilt : v;
    }
    if (format.Walk == WalkPdf) return RebuildPdf(start, hit, pieces);
    return TPieceVerdict::Untried;
}

namespace {

// Per picture, the search is bounded: at most kJpegScreens boundaries have their candidate
// clusters screened (each screening walks one cluster of each of the kPieceSearchBytes /
// cluster clusters after the boundary: 1024 at 4 KiB), and at most kJpegFollows of the
// candidates that pass are walked on to where they break (each walk ends at the picture's
// last MCU at the latest). So a picture that cannot be rebuilt costs at most 32 screenings
// of 4 MiB of one-cluster walks and 96 walks of the picture's rest, and a whole file
// nothing.
constexpr unsigned kJpegScreens = 32, kJpegFollows = 96;
// Boundaries tried per break, and candidates walked on per boundary, best fitting first.
constexpr size_t kJpegBoundaries = 6, kJpegCandidates = 5;
// Screenings a break keeps for its other boundaries when it lets a continuation follow
// its own breaks.
constexpr unsigned kJpegKeep = 2;
unsigned Leave(unsigned left) { return left > kJpegKeep ? left - kJpegKeep : 0; }
// The states kept at the boundaries of the piece being walked hold a row of DC values
// each; this many bytes of them at most.
constexpr size_t kJpegMarkBytes = 8u << 20;

// How many times the picture's usual step from a row to the next a first row after a
// boundary must stand off to say, before anything else, that other data begins there.
constexpr double kClearSeam = 3.0;

using TJpegMarks = std::vector<std::pair<uint64_t, TJpegState>>;

// A continuation's first row may stand this much further from the row above than the
// picture's rows do on average (DC units, 8-bit): measured on cjpeg pictures, the right
// piece came within 1.2 to 2.3 times (sharp-edged screenshots the most), other pictures'
// data (same tables, walking without a fault) mostly 2 to 20 times. Allowing 2.5 times
// let other pictures' data through on the measured volumes, so a sharp-edged picture's
// piece is sometimes left out rather than a stranger's taken; and the best fit must also
// stand clearly apart from the next best.
constexpr double kSeamSlack = 1.5, kSeamFloor = 3.0, kSeamMargin = 0.75;

// Where the depth-first search below gives up within its bounds: at each break the best
// fitting continuation alone, taken when it fits clearly better than any other, and the
// walk goes on, never back. Cheap per break (at most four boundaries screened), so it
// follows a picture through the many one-cluster pieces two programs writing at once
// leave, where the search runs out of screenings.
TPieceVerdict FollowGreedy(TPieceSearch& S, uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces,
                           const TJpegScan& scan, TJpegWalker& walker) {
    std::vector<TPiece> current{{start, 0}};
    TPiecesInput whole(S, current, true);
    std::deque<std::pair<uint64_t, TJpegState>> marks;  // cluster start -> state before it
    // Another picture's coded data in the gap can walk on without a fault for a long way;
    // the full decoding saw where the rows stopped matching (ProvenBytes), so the states at
    // the boundaries around there are kept too, and tried after the ones at the break.
    uint64_t hint = hit.ProvenBytes < hit.Length ? hit.ProvenBytes : kNone;
    std::deque<std::pair<uint64_t, TJpegState>> nearHint;
    auto mark = [&](const TJpegState& st, uint64_t boundary) {
        marks.emplace_back(boundary, st);
        if (marks.size() > 4) marks.pop_front();
        if (hint != kNone && boundary + 4 * S.Cluster() >= hint && boundary <= hint + 2 * S.Cluster())
            nearHint.emplace_back(boundary, st);
    };
    TJpegState s = walker.Start();
    TJpegWalk w = walker.Walk(whole, s, kNone, mark);
    if (w.Stop == TJpegStop::End) return TPieceVerdict::Whole;
    while (current.size() < kMaxPieces) {
        const uint64_t lastStart = StartOfLast(current);
        bool found = false;
        // Where the break lies: at one of the boundaries just before the fault, three
        // clusters back at most; but when the full decoding saw the rows stop matching well
        // before the fault, another picture's data has walked on without one from there,
        // and what was walked after it (its own rows included) proves nothing: only the
        // boundaries near where the rows stopped are tried then. A flat picture can mislead
        // that guess; it is then left unrebuilt rather than rebuilt wrong.
        std::vector<std::pair<uint64_t, TJpegState>> tries;
        const bool suspect = hint != kNone && hint + 3 * S.Cluster() < w.At;
        if (suspect) {
            for (auto& h : nearHint)
                if (h.first + 3 * S.Cluster() < w.At) tries.push_back(h);
        } else {
            for (auto m = marks.rbegin(); m != marks.rend(); ++m)
                if (m->first <= w.At && m->first + 3 * S.Cluster() >= w.At) tries.push_back(*m);
        }
        nearHint.clear();
        hint = kNone;  // it speaks of the first break only
        for (auto m = tries.begin(); m != tries.end() && !found; ++m) {
            const uint64_t b = m->first;
            if (b > w.At || b <= lastStart) continue;
            const uint64_t bl = current.back().Logical + (b - lastStart);
            S.PinAround(bl, 0);
            // How far a block's DC lies from the one above it, on average, in the picture so
            // far: a continuation's first row must match its row above about as well.
            const double own = m->second.Jumps ? static_cast<double>(m->second.Jump) / static_cast<double>(m->second.Jumps) : 0.0;
            // After the break first; before it only where nothing after it fits, as a copy
            // of the same picture there would fit as well as its own piece.
            std::vector<TPiece> best;
            for (const TPieceSearch::TSide side : {TPieceSearch::TSide::After, TPieceSearch::TSide::Before}) {
                if (!best.empty()) break;
                double bestJump = 0, runnerUp = 1e300;
                for (uint64_t c : S.Candidates(bl, current, side)) {
                    if (S.Foreign(c, true)) continue;
                    std::vector<TPiece> trial = With(current, b, c);
                    TPiecesInput in(S, trial, true);
                    TJpegState t = m->second;
                    t.Jump = t.Jumps = 0;
                    t.SeamEnd = t.Mcu + scan.McusWide + 1;
                    const TJpegWalk tw = walker.Walk(in, t, b + S.Cluster());
                    // Through the cluster: an MCU that runs on into the next one may break
                    // there, where the next piece is yet to be found.
                    if (tw.Stop == TJpegStop::Broken && tw.At <= b + S.Cluster()) continue;
                    // Huffman codes fall back into step after a few symbols, so another
                    // picture's data often walks without a fault; its first row does not
                    // continue the rows above it. Too few blocks to tell is no proof.
                    if (t.Jumps < 4 || m->second.Jumps < 16) continue;
                    const double jump = static_cast<double>(t.Jump) / static_cast<double>(t.Jumps);
                    if (jump > kSeamSlack * own + kSeamFloor) continue;
                    if (best.empty() || jump < bestJump) {
                        if (!best.empty()) runnerUp = std::min(runnerUp, bestJump);
                        best = std::move(trial), bestJump = jump;
                    } else {
                        runnerUp = std::min(runnerUp, jump);
                    }
                }
                // Two candidates that fit about as well say the fit proves nothing.
                if (!best.empty() && bestJump > kSeamMargin * runnerUp) best.clear();
            }
            if (best.empty()) continue;
            current = std::move(best);
            s = m->second;
            found = true;
        }
        if (!found) break;
        marks.clear();
        TPiecesInput in(S, current, true);
        w = walker.Walk(in, s, kNone, mark);
        if (w.Stop == TJpegStop::End) {
            pieces = EndAt(current, w.At);
            if (pieces.size() < 2) return TPieceVerdict::Whole;
            // The format's own check, the picture decoded whole, over the rebuilt bytes.
            TPiecesInput all(S, pieces, false);
            const TCarveHit check = WalkJpeg(all);
            if (check.End != TCarveEnd::Complete || check.Length != w.At || !Disjoint(pieces)) {
                pieces.clear();
                return TPieceVerdict::Broken;
            }
            hit.End = TCarveEnd::Complete;
            hit.Length = hit.ProvenBytes = w.At;
            hit.DecodedPercent = -1;
            return TPieceVerdict::Rebuilt;
        }
    }
    return TPieceVerdict::Broken;
}

} // namespace

// The coded data is walked MCU by MCU, and the state at each cluster boundary kept. Where
// the walk breaks, the file's own bytes ended at one of those boundaries: just before the
// fault (bytes from elsewhere break a walk within a few codes, and a cluster of zeros,
// text or another file's start at once), or, where another picture's data walked on
// without a fault, where the first row after a boundary stops matching the rows above it
// (the decoder's own row check gives a hint for the first break). For each such boundary
// the clusters after it are screened: each walked for one cluster from the boundary's
// state, and ranked by how well its first row continues the rows above. The best few are
// walked on, and each followed in turn to its own next break, depth first. Proof is only
// ever the picture's end: its last MCU, padding and end-of-image marker exactly where the
// MCU count says, then the whole rebuilt file decoding clean. A restart marker of the
// right number after exactly the right count of MCUs also proves a continuation, so its
// rivals are not tried once it leads nowhere. Where the search gives up within its bounds,
// the greedy follower above has its go.
TPieceVerdict TPieceSearch::RebuildJpeg(uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces) {
    std::vector<TPiece> first{{start, 0}};
    TPiecesInput whole(*this, first, true);
    TJpegScan scan;
    if (!ReadJpegScan(whole, scan)) return TPieceVerdict::Untried;
    TJpegWalker walker(scan, cluster_);
    // The full decoding saw where the rows stopped matching: another picture's data can
    // walk on without a fault for long after the first break.
    const uint64_t hint = hit.ProvenBytes < hit.Length ? hit.ProvenBytes : kNone;
    const size_t maxMarks = std::max<size_t>(16, kJpegMarkBytes / (sizeof(TJpegState) + 2 * scan.BlocksWide));

    struct TFollow {
        TPieceSearch& S;
        const TJpegScan& Scan;
        TJpegWalker& Walker;
        uint64_t Hint;
        size_t MaxMarks;
        unsigned Screens = 0, Follows = 0;
        std::vector<TPiece> Done;
        uint64_t DoneLength = 0;
        std::vector<bool> Sure;  // per joint of the pieces being tried: see Accept

        bool NearHint(uint64_t b) const { return Hint != kNone && b + 4 * S.cluster_ >= Hint && b <= Hint + 2 * S.cluster_; }

        // Keeps the states at the boundaries the walk crosses; the oldest make way first,
        // but not those near the hint.
        auto Collector(TJpegMarks& marks) {
            return [this, &marks](const TJpegState& st, uint64_t b) {
                if (marks.size() >= MaxMarks) {
                    auto it = std::find_if(marks.begin(), marks.end(), [&](const auto& m) { return !NearHint(m.first); });
                    marks.erase(it == marks.end() ? marks.begin() : it);
                }
                marks.emplace_back(b, st);
            };
        }

        // How far the first row after a boundary stands from the row above it, against the
        // picture's average so far: a seam where other data begins stands out.
        double SeamRatio(const std::vector<TPiece>& current, const std::pair<uint64_t, TJpegState>& m) {
            if (m.second.Jumps < 16) return 0;
            TPiecesInput in(S, current, true);
            TJpegState t = m.second;
            t.Jump = t.Jumps = 0;
            t.SeamEnd = t.Mcu + Scan.McusWide + 1;
            Walker.Walk(in, t, m.first + 2 * S.cluster_);
            if (t.Jumps < 4) return 0;
            const double own = static_cast<double>(m.second.Jump) / static_cast<double>(m.second.Jumps);
            return (static_cast<double>(t.Jump) / static_cast<double>(t.Jumps)) / (own + 2.0);
        }

        // The boundaries to try the break at, most likely first: the start of a cluster
        // that ended the walk as not coded data at all (zeros, text, another file's start);
        // those where the first row after them stands out most from the rows above (where
        // another picture's data, walking as well, begins); those just before the fault;
        // those near where the decoder saw the rows stop matching.
        std::vector<const std::pair<uint64_t, TJpegState>*> Order(const std::vector<TPiece>& current, const TJpegWalk& w,
                                                                   const TJpegMarks& marks) {
            const uint64_t lastStart = StartOfLast(current);
            std::vector<const std::pair<uint64_t, TJpegState>*> out;
            auto add = [&](const std::pair<uint64_t, TJpegState>* m, size_t most) {
                if (out.size() < most && m->first > lastStart && m->first <= w.At &&
                    std::find(out.begin(), out.end(), m) == out.end())
                    out.push_back(m);
            };
            std::vector<std::pair<double, const std::pair<uint64_t, TJpegState>*>> seams;
            for (const auto& m : marks)
                if (m.first > lastStart && m.first < w.At) {
                    const double r = SeamRatio(current, m);
                    if (r > 1.5) seams.emplace_back(r, &m);
                }
            std::sort(seams.begin(), seams.end(), [](const auto& a, const auto& b) { return a.first > b.first; });
            // A seam that stands out far: the walk went on through a stranger's data.
            // Only once a few rows above it tell what the picture's usual step is.
            if (!seams.empty() && seams[0].first > kClearSeam && seams[0].second->second.Jumps >= 4 * Scan.BlocksWide)
                add(seams[0].second, kJpegBoundaries);
            for (const auto& m : marks)
                if (m.first + 1 == w.At) add(&m, kJpegBoundaries);
            for (size_t i = 0; i < seams.size() && i < 3; ++i) add(seams[i].second, kJpegBoundaries);
            for (auto m = marks.rbegin(); m != marks.rend(); ++m)
                if (m->first + 3 * S.cluster_ >= w.At) add(&*m, kJpegBoundaries);
            if (current.size() == 1) {
                std::vector<const std::pair<uint64_t, TJpegState>*> near;
                for (const auto& m : marks)
                    if (NearHint(m.first)) near.push_back(&m);
                std::sort(near.begin(), near.end(), [&](auto* a, auto* b) {
                    return (a->first > Hint ? a->first - Hint : Hint - a->first) < (b->first > Hint ? b->first - Hint : Hint - b->first);
                });
                for (auto* m : near) add(m, kJpegBoundaries + 2);
            }
            return out;
        }

        struct TCandidate {
            uint64_t At;
            double Seam;
        };

        // The clusters after the boundary that carry the walk on for a cluster, best
        // continuing the rows above first.
        std::vector<TCandidate> Screen(const std::vector<TPiece>& current, const std::pair<uint64_t, TJpegState>& m) {
            const uint64_t lastStart = StartOfLast(current), b = m.first, cl = S.cluster_;
            const uint64_t bl = current.back().Logical + (b - lastStart);
            S.PinAround(bl, cl);
            const double own = m.second.Jumps >= 16 ? static_cast<double>(m.second.Jump) / static_cast<double>(m.second.Jumps) : -1;
            std::vector<TCandidate> out;
            // After the break only: before it, a copy of the same picture would fit as well
            // as its own piece, and the search would take it (the follower below tries there).
            for (uint64_t c : S.Candidates(bl, current, TSide::After)) {
                if (S.Foreign(c, true)) continue;
                std::vector<TPiece> trial = With(current, b, c);
                TPiecesInput in(S, trial, true);
                TJpegState t = m.second;
                t.Jump = t.Jumps = 0;
                t.SeamEnd = t.Mcu + Scan.McusWide + 1;
                const TJpegWalk tw = Walker.Walk(in, t, b + cl);
                if (tw.Stop == TJpegStop::End) {
                    out.push_back({c, -1.0});  // the picture's end, just where it must be
                    continue;
                }
                // An MCU that runs on into the next cluster may break there, where the
                // next piece is yet to be found.
                if (tw.Stop == TJpegStop::Broken && tw.At <= b + cl) continue;
                const double seam = t.Jumps ? static_cast<double>(t.Jump) / static_cast<double>(t.Jumps) : 1e9;
                // Far off the rows above: another picture's data (same tables walk as well).
                if (own >= 0 && t.Jumps >= 4 && seam > 3.0 * own + 6.0) continue;
                out.push_back({c, seam});
            }
            std::stable_sort(out.begin(), out.end(), [](const TCandidate& a, const TCandidate& b) { return a.Seam < b.Seam; });
            if (out.size() > kJpegCandidates) out.resize(kJpegCandidates);
            return out;
        }

        bool Accept(const std::vector<TPiece>& trial, uint64_t end) {
            std::vector<TPiece> p = EndAt(trial, end);
            if (p.size() < 2 || !Disjoint(p)) return false;
            // The format's own check, the picture decoded whole, over the rebuilt bytes.
            TPiecesInput all(S, p, false);
            const TCarveHit check = WalkJpeg(all);
            if (check.End != TCarveEnd::Complete || check.Length != end) return false;
            // Data from elsewhere that happens to walk to the end mark (a flat picture's
            // tail takes almost any count of MCUs) still leaves a row that does not go on
            // from the one above where it begins. Such rows are let be before the first
            // joint, where the first piece's own decoding saw them already (sharp edges of
            // the picture's own), and anywhere when the picture has two or three pieces and
            // every joint is sure: the walk ended at it on bytes that are no coded data at
            // all, and the piece after it continued the rows above better than any other.
            // (A chain of many sure joints can still be strangers' pieces, as where the
            // clusters of a picture rebuilt already stand between them.) Anything else
            // leaves the picture unrebuilt rather than risk a stranger's piece in it.
            const TJpegCheck seams = CheckJpeg(all, end);
            const bool sure = Sure.size() <= 2 && std::all_of(Sure.begin(), Sure.end(), [](bool b) { return b; });
            if (!seams.Clean || (seams.JumpRows && seams.LastJumpAt >= p.front().Length && !sure))
                return false;
            Done = std::move(p);
            DoneLength = end;
            return true;
        }

        // current: the file's pieces so far, the last one running on; w: where the walk
        // through them broke; marks: the states at the boundaries of the last piece.
        // limit: the screenings this break and the ones after it may take, so that a wrong
        // boundary's followers leave some for the next boundary.
        bool Follow(const std::vector<TPiece>& current, const TJpegWalk& w, const TJpegMarks& marks, unsigned limit) {
            const unsigned from = Screens;
            if (current.size() >= kMaxPieces) return false;
            const auto order = Order(current, w, marks);
            for (const auto* m : order) {
                if (Screens >= kJpegScreens || Screens - from >= limit) return false;
                ++Screens;
                const uint64_t b = m->first;
                const std::vector<TCandidate> cands = Screen(current, *m);
                for (const TCandidate& c : cands) {
                    if (Follows >= kJpegFollows) return false;
                    ++Follows;
                    std::vector<TPiece> trial = With(current, b, c.At);
                    TPiecesInput in(S, trial, true);
                    TJpegState t = m->second;
                    TJpegMarks next;
                    const TJpegWalk tw = Walker.Walk(in, t, kNone, Collector(next));
                    Sure.push_back(b + 1 == w.At && &c == &cands.front());
                    const bool ok = tw.Stop == TJpegStop::End ? Accept(trial, tw.At)
                                                              : tw.At > b + S.cluster_ &&
                                                                    Follow(trial, tw, next, Leave(limit - (Screens - from)));
                    Sure.pop_back();
                    if (ok) return true;
                    // A restart marker in its place proved this one; no rival can be right.
                    if (tw.Stop != TJpegStop::End && t.Restarts > m->second.Restarts) return false;
                }
            }
            return false;
        }
    };

    TFollow f{*this, scan, walker, hint, maxMarks, 0, 0, {}, 0, {}};
    TJpegMarks marks;
    TJpegState s = walker.Start();
    const TJpegWalk w = walker.Walk(whole, s, kNone, f.Collector(marks));
    if (w.Stop == TJpegStop::End) return TPieceVerdict::Whole;
    if (!f.Follow(first, w, marks, kJpegScreens)) return FollowGreedy(*this, start, hit, pieces, scan, walker);
    pieces = std::move(f.Done);
    hit.End = TCarveEnd::Complete;
    hit.Length = hit.ProvenBytes = f.DoneLength;
    hit.DecodedPercent = -1;
    return TPieceVerdict::Rebuilt;
}

// Chunk by chunk, each with its CRC: where a chunk's CRC fails, the break lies inside
// it, at a cluster boundary; the candidate that makes the CRC come out is the next piece.
// The CRC of the chunk's bytes before the boundary is taken once per boundary, so a
// candidate costs only the rest of the chunk.
TPieceVerdict TPieceSearch::RebuildPng(uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces) {
    constexpr uint64_t kLongestChunk = 1u << 20;
    std::vector<TPiece> current{{start, 0}};
    std::vector<uint8_t> buf(64 * 1024);
    while (current.size() <= kMaxPieces) {
        TPiecesInput in(*this, current, false);
        const TCarveHit h = WalkPng(in);
        if (h.End == TCarveEnd::Complete) return AcceptWhole(current, h, hit, pieces);
        if (h.End != TCarveEnd::CutShort || current.size() == kMaxPieces) break;
        const uint64_t chunkAt = h.Length, lastStart = StartOfLast(current);
        uint8_t hdr[8];
        const bool headerKnown = in.Read(chunkAt, hdr, 8) == 8;
        const uint64_t len = headerKnown ? ReadBe32(hdr, 0) : 0;
        // A header that reads as garbage was not written here: the break is at or inside it.
        const bool sane = headerKnown && len <= kLongestChunk &&
                          std::all_of(hdr + 4, hdr + 8, [](uint8_t b) { return (b | 0x20) >= 'a' && (b | 0x20) <= 'z'; });
        const uint64_t chunkEnd = chunkAt + (sane ? 12 + len : 8);
        bool found = false;
        for (uint64_t b = (chunkAt + cluster_ - 1) / cluster_ * cluster_; b < chunkEnd && !found; b += cluster_) {
            if (b <= lastStart) continue;
            const uint64_t bl = current.back().Logical + (b - lastStart);
            PinAround(bl, sane ? chunkEnd - b : 0);
            // The CRC over the chunk's type and data before the boundary.
            uLong head = crc32(0L, nullptr, 0);
            const bool split = sane && b >= chunkAt + 8;
            if (split) {
                for (uint64_t p = chunkAt + 4; p < std::min(b, chunkAt + 8 + len);) {
                    const size_t k = static_cast<size_t>(std::min<uint64_t>(buf.size(), std::min(b, chunkAt + 8 + len) - p));
                    if (in.Read(p, buf.data(), k) != k) break;
                    head = crc32(head, buf.data(), static_cast<uInt>(k));
                    p += k;
                }
            }
            for (uint64_t c : Candidates(bl, current)) {
                if (found) break;
                if (Foreign(c, false)) continue;
                std::vector<TPiece> trial = With(current, b, c);
                TPiecesInput tin(*this, trial, false);
                uint8_t th[8];
                if (tin.Read(chunkAt, th, 8) != 8) continue;
                const uint64_t tlen = ReadBe32(th, 0);
                if (tlen > kLongestChunk || (split && tlen != len)) continue;
                if (!std::all_of(th + 4, th + 8, [](uint8_t x) { return (x | 0x20) >= 'a' && (x | 0x20) <= 'z'; }))
                    continue;
                uLong crc = split ? head : crc32(0L, nullptr, 0);
                bool ok = true;
                for (uint64_t p = split ? b : chunkAt + 4; p < chunkAt + 8 + tlen;) {
                    const size_t k = static_cast<size_t>(std::min<uint64_t>(buf.size(), chunkAt + 8 + tlen - p));
                    if (tin.Read(p, buf.data(), k) != k) {
                        ok = false;
                        break;
                    }
                    crc = crc32(crc, buf.data(), static_cast<uInt>(k));
                    p += k;
                }
                uint8_t cb[4];
                if (!ok || tin.Read(chunkAt + 8 + tlen, cb, 4) != 4 || ReadBe32(cb, 0) != static_cast<uint32_t>(crc))
                    continue;
                current = std::move(trial);
                found = true;
            }
        }
        // A chunk of image data longer than the pieces it lies in: its breaks are followed
        // one cluster at a time by unpacking the data on.
        if (!found && sane && std::memcmp(hdr + 4, "IDAT", 4) == 0) found = FollowImageData(current, chunkAt, len);
        if (!found) break;
    }
    return TPieceVerdict::Broken;
}

namespace {

// The rows a PNG's image data unpacks to: each begins with its filter type (0 to 4), and
// there are as many bytes as the header says, no more. Another file's bytes, text or
// zeros fed in the middle of the stream break the one or the other within a few rows.
class TImageDataCheck {
public:
    TImageDataCheck(uint64_t rowBytes, uint64_t total) : rowBytes_(rowBytes), total_(total) {
        ok_ = inflateInit(z_.get()) == Z_OK;
        live_ = ok_;
    }
    TImageDataCheck(const TImageDataCheck& o) : rowBytes_(o.rowBytes_), total_(o.total_), out_(o.out_), end_(o.end_) {
        ok_ = o.ok_ && inflateCopy(z_.get(), o.z_.get()) == Z_OK;
        live_ = ok_;
    }
    TImageDataCheck& operator=(const TImageDataCheck&) = delete;
    ~TImageDataCheck() {
        if (live_) inflateEnd(z_.get());
    }
    // zlib's state points back at its stream: the streams stay where they are.
    void Swap(TImageDataCheck& o) {
        std::swap(z_, o.z_);
        std::swap(out_, o.out_);
        std::swap(ok_, o.ok_);
        std::swap(end_, o.end_);
        std::swap(live_, o.live_);
    }
    bool Feed(const uint8_t* p, size_t n) {
        if (!ok_) return false;
        z_stream& z = *z_;
        z.next_in = const_cast<uint8_t*>(p);
        z.avail_in = static_cast<uInt>(n);
        uint8_t buf[16 * 1024];
        while (z.avail_in > 0 && ok_) {
            if (end_) return ok_ = false;  // bytes after the stream's end
            z.next_out = buf;
            z.avail_out = sizeof buf;
            const int r = inflate(&z, Z_NO_FLUSH);
            if (r != Z_OK && r != Z_STREAM_END && r != Z_BUF_ERROR) return ok_ = false;
            const uint64_t got = sizeof buf - z.avail_out;
            for (uint64_t row = (out_ + rowBytes_ - 1) / rowBytes_ * rowBytes_; row < out_ + got; row += rowBytes_)
                if (buf[row - out_] > 4) return ok_ = false;
            out_ += got;
            if (out_ > total_) return ok_ = false;
            if (r == Z_STREAM_END) end_ = true;
            if (r == Z_BUF_ERROR) break;
        }
        return ok_;
    }

private:
    std::unique_ptr<z_stream> z_ = std::make_unique<z_stream>();
    uint64_t rowBytes_, total_, out_ = 0;
    bool ok_ = false, end_ = false, live_ = false;
};

} // namespace

bool TPieceSearch::FollowImageData(std::vector<TPiece>& current, uint64_t chunkAt, uint64_t len) {
    std::vector<TPiece> work = current;
    std::vector<uint8_t> buf(64 * 1024);
    uint64_t rowBytes = 0, total = 0;
    {
        TPiecesInput in(*this, work, false);
        uint8_t h[25];
        if (in.Read(8, h, 25) != 25 || std::memcmp(h + 4, "IHDR", 4) != 0) return false;
        const uint64_t width = ReadBe32(h, 8), height = ReadBe32(h, 12);
        const uint32_t depth = h[16], color = h[17];
        if (h[20] != 0) return false;  // interlaced: rows of seven passes, of differing lengths
        const uint32_t channels = color == 0 || color == 3 ? 1 : color == 2 ? 3 : color == 4 ? 2 : color == 6 ? 4 : 0;
        if (!channels || !depth || depth > 16 || !width || !height || width > (1u << 24) || height > (1u << 24))
            return false;
        rowBytes = 1 + (width * channels * depth + 7) / 8;
        total = rowBytes * height;
    }
    TImageDataCheck state(rowBytes, total);
    // The image data before this chunk, each chunk of it proven by its CRC already.
    {
        TPiecesInput in(*this, work, false);
        uint64_t p = 8;
        while (p < chunkAt) {
            uint8_t h[8];
            if (in.Read(p, h, 8) != 8) return false;
            const uint64_t n = ReadBe32(h, 0);
            if (std::memcmp(h + 4, "IDAT", 4) == 0)
                for (uint64_t q = p + 8; q < p + 8 + n;) {
                    const size_t k = static_cast<size_t>(std::min<uint64_t>(buf.size(), p + 8 + n - q));
                    if (in.Read(q, buf.data(), k) != k || !state.Feed(buf.data(), k)) return false;
                    q += k;
                }
            p += 12 + n;
        }
        if (p != chunkAt) return false;
    }
    const uint64_t dataEnd = chunkAt + 8 + len;
    auto feed = [&](TImageDataCheck& st, const std::vector<TPiece>& pieces, uint64_t from, uint64_t to) {
        TPiecesInput in(*this, pieces, false);
        for (uint64_t q = from; q < to;) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(buf.size(), to - q));
            if (in.Read(q, buf.data(), k) != k || !st.Feed(buf.data(), k)) return false;
            q += k;
        }
        return true;
    };
    // The chunk's CRC over its bytes in the pieces: the proof of a way through it.
    auto crcHolds = [&](const std::vector<TPiece>& pieces) {
        TPiecesInput in(*this, pieces, false);
        uLong crc = crc32(0L, nullptr, 0);
        for (uint64_t q = chunkAt + 4; q < dataEnd;) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(buf.size(), dataEnd - q));
            if (in.Read(q, buf.data(), k) != k) return false;
            crc = crc32(crc, buf.data(), static_cast<uInt>(k));
            q += k;
        }
        uint8_t cb[4];
        return in.Read(dataEnd, cb, 4) == 4 && ReadBe32(cb, 0) == static_cast<uint32_t>(crc);
    };
    // Depth first, cluster by cluster: the data going on where it is, else at the start of
    // another cluster (the nearest first) where it unpacks on through that cluster; a way
    // that runs into bytes that do not unpack is left for the next. Rows of a smooth
    // picture let other places of its own data pass a cluster, so only the chunk's CRC at
    // its end proves a way. The tries are bounded.
    size_t budget = 4096;
    // A way whose CRC lies past one more break, for the search of single breaks to finish.
    std::vector<TPiece> unproven;
    std::function<bool(TImageDataCheck&, uint64_t)> follow = [&](TImageDataCheck& st, uint64_t d) -> bool {
        if (d >= dataEnd) {
            if (crcHolds(work)) return true;
            const uint64_t boundary = (dataEnd + cluster_ - 1) / cluster_ * cluster_;
            if (unproven.empty() && boundary < dataEnd + 4 && boundary > StartOfLast(work)) unproven = work;
            return false;
        }
        const uint64_t segEnd = std::min(dataEnd, (d / cluster_ + 1) * cluster_);
        const uint64_t lastStart = StartOfLast(work);
        const bool aligned = d % cluster_ == 0 && d > lastStart;
        const uint64_t here = work.back().Logical + (d - lastStart);
        // Text, zeros or another file's start where the data should go on is a break.
        if (!aligned || !Foreign(here, true)) {
            if (budget == 0) return false;
            --budget;
            TImageDataCheck t(st);
            if (feed(t, work, d, segEnd) && follow(t, segEnd)) return true;
        }
        if (!aligned || work.size() >= kMaxPieces) return false;
        PinAround(here, 0);
        // On a grid finer than 4 KiB a sector's worth says little: those whose data
        // unpacks on at the same place for 4 KiB are followed first, the rest after.
        const uint64_t further = std::min(dataEnd, d + std::max<uint64_t>(cluster_, 4096));
        for (const bool farOnly : {true, false}) {
            if (!farOnly && further <= segEnd) break;
            for (uint64_t c : Candidates(here, work)) {
                if (budget == 0) return false;
                if (Foreign(c, false)) continue;
                --budget;
                std::vector<TPiece> trial = With(work, d, c);
                TImageDataCheck t(st);
                if (!feed(t, trial, d, segEnd)) continue;
                if (further > segEnd) {
                    TImageDataCheck ahead(t);
                    if (feed(ahead, trial, segEnd, further) != farOnly) continue;
                }
                std::vector<TPiece> before = std::move(work);
                work = std::move(trial);
                if (follow(t, segEnd)) return true;
                work = std::move(before);
            }
        }
        return false;
    };
    if (!follow(state, chunkAt + 8)) work = std::move(unproven);
    if (work.size() <= current.size()) return false;
    current = std::move(work);
    return true;
}


namespace {

constexpr uint32_t kZipLocal = 0x04034B50, kZipCentral = 0x02014B50, kZipEnd = 0x06054B50, kZipDescriptor = 0x08074B50;

uint32_t Le32(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24; }
uint32_t Le16(const uint8_t* p) { return uint32_t(p[0]) | uint32_t(p[1]) << 8; }

uint32_t SigAt(TCarveInput& in, uint64_t at) {
    uint8_t b[4];
    return in.Read(at, b, 4) == 4 ? Le32(b) : 0;
}

// One archive member as its local header gives it.
struct TMember {
    uint64_t At = 0, Data = 0, Next = 0;
    uint64_t CSize = 0, USize = 0;
    uint32_t Crc = 0, Method = 0;
};

// Members whose sizes are only in a trailing descriptor, or that are stored any other way
// than plain or deflated, are not followed across pieces.
bool ReadMember(TCarveInput& in, uint64_t at, TMember& m) {
    uint8_t h[30];
    if (in.Read(at, h, 30) != 30 || Le32(h) != kZipLocal) return false;
    const uint32_t flags = Le16(h + 6), nlen = Le16(h + 26), xlen = Le16(h + 28);
    m.At = at;
    m.Method = Le16(h + 8);
    m.Crc = Le32(h + 14);
    m.CSize = Le32(h + 18);
    m.USize = Le32(h + 22);
    if ((m.Method != 0 && m.Method != 8) || nlen == 0 || nlen > 1024 || (flags & 1)) return false;
    if (m.CSize == 0xFFFFFFFF || m.USize == 0xFFFFFFFF) return false;
    if ((flags & 8) && m.CSize == 0) return false;
    uint8_t name[1024];
    if (in.Read(at + 30, name, nlen) != nlen) return false;
    for (uint32_t i = 0; i < nlen; ++i)
        if (name[i] < 0x20) return false;
    m.Data = at + 30 + nlen + xlen;
    m.Next = m.Data + m.CSize;
    if (flags & 8) {
        uint8_t d[16];
        if (in.Read(m.Next, d, 16) != 16) return false;
        const bool signed_ = Le32(d) == kZipDescriptor;
        m.Crc = Le32(d + (signed_ ? 4 : 0));
        m.Next += signed_ ? 16 : 12;
    }
    return true;
}

// The member's data inflated (or read, when stored) and its CRC-32 compared: the proof
// that every byte of it, across however many pieces, is its own.
bool MemberChecks(TCarveInput& in, const TMember& m) {
    std::vector<uint8_t> src(64 * 1024), out(256 * 1024);
    uLong crc = crc32(0L, nullptr, 0);
    uint64_t produced = 0;
    if (m.Method == 0) {
        if (m.CSize != m.USize) return false;
        for (uint64_t p = m.Data; p < m.Next && p < m.Data + m.CSize;) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(src.size(), m.Data + m.CSize - p));
            if (in.Read(p, src.data(), k) != k) return false;
            crc = crc32(crc, src.data(), static_cast<uInt>(k));
            p += k;
        }
        return static_cast<uint32_t>(crc) == m.Crc;
    }
    z_stream z{};
    if (inflateInit2(&z, -15) != Z_OK) return false;
    bool ok = false;
    for (uint64_t p = m.Data;;) {
        if (z.avail_in == 0) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(src.size(), m.Data + m.CSize - p));
            if (k == 0 || in.Read(p, src.data(), k) != k) break;
            p += k;
            z.next_in = src.data();
            z.avail_in = static_cast<uInt>(k);
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        const int r = inflate(&z, Z_NO_FLUSH);
        const size_t got = out.size() - z.avail_out;
        crc = crc32(crc, out.data(), static_cast<uInt>(got));
        produced += got;
        if (r == Z_STREAM_END) {
            ok = static_cast<uint32_t>(crc) == m.Crc && produced == m.USize;
            break;
        }
        if (r != Z_OK || produced > m.USize) break;
    }
    inflateEnd(&z);
    return ok;
}

} // namespace

// Members by their local headers, each one's next header where its sizes say; where the
// chain breaks, the member before it runs across a break. A candidate is taken when the
// next header stands where it must in the rebuilt bytes and the member's data inflates to
// its CRC-32. A break inside the central directory is taken when the whole archive then
// walks to an end record that agrees with it.
TPieceVerdict TPieceSearch::RebuildZip(uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces) {
    std::vector<TPiece> current{{start, 0}};
    while (current.size() <= kMaxPieces) {
        TPiecesInput in(*this, current, false);
        // Follow the chain to where it breaks.
        uint64_t pos = 0, lastMember = 0;
        bool any = false, inDirectory = false;
        TMember m;
        while (ReadMember(in, pos, m)) {
            lastMember = pos;
            any = true;
            const uint32_t next = SigAt(in, m.Next);
            if (next != kZipLocal && next != kZipCentral) break;
            pos = m.Next;
            if (next == kZipCentral) {
                inDirectory = true;
                break;
            }
        }
        if (!any) return TPieceVerdict::Untried;
        uint64_t breakAt = 0, from = lastMember;
        if (inDirectory) {
            uint64_t e = pos;
            for (;;) {
                uint8_t h[46];
                if (in.Read(e, h, 46) != 46 || Le32(h) != kZipCentral) break;
                from = e;
                e += 46 + uint64_t{Le16(h + 28)} + Le16(h + 30) + Le16(h + 32);
            }
            breakAt = e;
            if (SigAt(in, e) == kZipEnd) {
                const TCarveHit h = WalkZip(in);
                if (h.End == TCarveEnd::Complete) return AcceptWhole(current, h, hit, pieces);
            }
        } else {
            if (!ReadMember(in, lastMember, m)) return TPieceVerdict::Broken;
            breakAt = m.Next;
        }
        if (current.size() == kMaxPieces) break;
        const uint64_t lastStart = StartOfLast(current);
        // Boundaries where the bytes stop looking like the archive's come first, then the
        // rest from the break back; 64 at most.
        std::vector<uint64_t> bounds;
        const uint64_t lo = std::max(from, lastStart) / cluster_ * cluster_ + cluster_;
        for (uint64_t b = lo; b <= breakAt + cluster_ && bounds.size() < 4096; b += cluster_)
            if (Foreign(current.back().Logical + (b - lastStart), true)) bounds.push_back(b);
        for (uint64_t b = (breakAt + cluster_) / cluster_ * cluster_; b >= lo && bounds.size() < 64; b -= cluster_)
            if (std::find(bounds.begin(), bounds.end(), b) == bounds.end()) bounds.push_back(b);
        if (bounds.size() > 64) bounds.resize(64);
        bool found = false;
        for (uint64_t b : bounds) {
            if (found) break;
            const uint64_t bl = current.back().Logical + (b - lastStart);
            if (bl >= Total()) continue;
            PinAround(bl, 0);
            for (uint64_t c : Candidates(bl, current)) {
                if (found) break;
                if (Foreign(c, false)) continue;
                std::vector<TPiece> trial = With(current, b, c);
                TPiecesInput tin(*this, trial, false);
                if (inDirectory) {
                    const uint32_t sig = SigAt(tin, breakAt);
                    if (sig != kZipCentral && sig != kZipEnd) continue;
                    if (WalkZip(tin).End != TCarveEnd::Complete) continue;
                } else {
                    // The member the boundary falls in, in the rebuilt bytes.
                    TMember t;
                    if (!ReadMember(tin, lastMember, t)) continue;
                    if (b > t.Next && !ReadMember(tin, t.Next, t)) continue;
                    const uint32_t sig = SigAt(tin, t.Next);
                    if ((sig != kZipLocal && sig != kZipCentral) || !MemberChecks(tin, t)) continue;
                }
                current = std::move(trial);
                found = true;
            }
        }
        if (!found) break;
    }
    return TPieceVerdict::Broken;
}

namespace {

// A member as the central directory gives it.
struct TListed {
    uint64_t At = 0, CSize = 0, USize = 0;
    uint32_t Crc = 0, Method = 0, Flags = 0;
    std::string Name;
    bool operator<(const TListed& o) const { return At < o.At; }
};

} // namespace

// The end record near the start on the disk gives the directory's size and its offset in
// the archive; where the directory stands before the record gives the last piece's shift.
// The members in the order of their offsets then lead from the first piece to the last,
// as a PDF's objects do: a member's header not where the shift so far puts it means a
// break in the member before, found where that member's data then unpacks to its CRC-32
// (one break in it, or two with a piece between them). The sizes come from the directory,
// so members whose local headers leave them to a descriptor after the data are followed
// too. The archive rebuilt must then pass its check whole.
TPieceVerdict TPieceSearch::RebuildZipByDirectory(uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces) {
    constexpr uint64_t kWindow = 16u << 20;
    const uint64_t reach = std::min<uint64_t>({Total() - start, hit.Length + 2 * kPieceSearchBytes, kWindow});
    // The window runs from the bound before the start, where a later piece may lie too.
    const uint64_t o = std::min<uint64_t>(start, kPieceSearchBytes);
    Pin(start - o, o + reach);
    const uint64_t window = pinnedLen_;
    const uint8_t* w = pinned_.data();
    // End records after the start, nearest first, then before it.
    std::vector<uint64_t> ends;
    for (uint64_t e = o; e + 22 <= window && ends.size() < 8; ++e)
        if (w[e] == 'P' && w[e + 1] == 'K' && w[e + 2] == 5 && w[e + 3] == 6) ends.push_back(e);
    for (uint64_t e = std::min(o, window >= 22 ? window - 22 : 0); e-- > 0 && ends.size() < 12;)
        if (w[e] == 'P' && w[e + 1] == 'K' && w[e + 2] == 5 && w[e + 3] == 6) ends.push_back(e);
    // A byte of the original at a shift, as its place in the window; window when outside.
    auto win = [&](uint64_t orig, int64_t shift) {
        const int64_t at = static_cast<int64_t>(o + orig) + shift;
        return at < 0 || static_cast<uint64_t>(at) >= window ? window : static_cast<uint64_t>(at);
    };
    const auto c = static_cast<int64_t>(cluster_);
    for (uint64_t e : ends) {
        const uint64_t count = Le16(w + e + 10), cdSize = Le32(w + e + 12), cdAt = Le32(w + e + 16);
        const uint64_t end = e + 22 + Le16(w + e + 20);
        if (count == 0 || cdSize > e || end > window) continue;
        const int64_t lastShift = static_cast<int64_t>(e - cdSize) - static_cast<int64_t>(cdAt) - static_cast<int64_t>(o);
        if (lastShift % c || static_cast<int64_t>(end) - static_cast<int64_t>(o) - lastShift <= static_cast<int64_t>(cdAt))
            continue;
        const uint64_t fileEnd = static_cast<uint64_t>(static_cast<int64_t>(end) - static_cast<int64_t>(o) - lastShift);
        // The directory's entries, read where it stands.
        std::vector<TListed> listed;
        bool sound = true;
        for (uint64_t p = e - cdSize; listed.size() < count && sound;) {
            if (p + 46 > e || Le32(w + p) != kZipCentral) {
                sound = false;
                break;
            }
            TListed m;
            m.Flags = Le16(w + p + 8);
            m.Method = Le16(w + p + 10);
            m.Crc = Le32(w + p + 16);
            m.CSize = Le32(w + p + 20);
            m.USize = Le32(w + p + 24);
            m.At = Le32(w + p + 42);
            const uint64_t nlen = Le16(w + p + 28), next = p + 46 + nlen + Le16(w + p + 30) + Le16(w + p + 32);
            if (next > e || nlen == 0 || m.At >= cdAt || (m.Method != 0 && m.Method != 8) || (m.Flags & 1)) {
                sound = false;
                break;
            }
            m.Name.assign(reinterpret_cast<const char*>(w + p + 46), nlen);
            listed.push_back(std::move(m));
            p = next;
        }
        if (!sound || listed.size() != count) continue;
        std::sort(listed.begin(), listed.end());
        if (listed.front().At != 0) continue;
        // The local header the directory names, at the shift.
        auto lands = [&](const TListed& m, int64_t shift) {
            const uint64_t at = win(m.At, shift);
            if (at + 30 + m.Name.size() > window || Le32(w + at) != kZipLocal) return false;
            return Le16(w + at + 26) == m.Name.size() && std::memcmp(w + at + 30, m.Name.data(), m.Name.size()) == 0;
        };
        // The member's data checks out in the pieces: its CRC-32 over what it unpacks to.
        auto checks = [&](const std::vector<TPiece>& trial, const TListed& m) {
            TPiecesInput in(*this, trial, false);
            uint8_t h[30];
            if (in.Read(m.At, h, 30) != 30 || Le32(h) != kZipLocal) return false;
            TMember t;
            t.At = m.At;
            t.Data = m.At + 30 + Le16(h + 26) + Le16(h + 28);
            t.CSize = m.CSize;
            t.USize = m.USize;
            t.Crc = m.Crc;
            t.Method = m.Method;
            t.Next = t.Data + t.CSize;
            return MemberChecks(in, t);
        };
        std::vector<TPiece> current{{start, 0}};
        int64_t shift = 0;
        auto logical = [&](uint64_t orig, int64_t s) { return start + orig + static_cast<uint64_t>(s); };
        // Each member, and then the directory itself, must stand where the shift puts it.
        bool ok = true;
        for (size_t i = 1; i <= listed.size() && ok; ++i) {
            const uint64_t at = i < listed.size() ? listed[i].At : cdAt;
            auto here = [&](int64_t s) {
                return i < listed.size() ? lands(listed[i], s) : win(at, s) + 4 <= window && Le32(w + win(at, s)) == kZipCentral;
            };
            if (here(shift)) continue;
            const TListed& m = listed[i - 1];
            const uint64_t lo = std::max(m.At, StartOfLast(current)) / cluster_ * cluster_ + cluster_;
            ok = false;
            if (lo > at || current.size() + 2 > kMaxPieces) break;
            for (int64_t next : Shifts(shift)) {
                if (ok) break;
                if (!here(next)) continue;
                // One break in the member before.
                for (uint64_t b = lo; b <= at && !ok; b += cluster_) {
                    if (win(b, next) == window || claims_.Claimed(logical(b, next))) continue;
                    std::vector<TPiece> trial = With(current, b, logical(b, next));
                    if (!checks(trial, m)) continue;
                    current = std::move(trial);
                    ok = true;
                }
                // Two, with a piece of whole clusters between them at a shift in between.
                // Likeliest first: the first break where the bytes at the old shift stop
                // looking like the archive's, each piece starting after such bytes; then the
                // rest, up to a bounded number of tries.
                if (ok || m.CSize > (1u << 20)) continue;
                auto after = [&](uint64_t l) { return l >= cluster_ && Foreign(l - cluster_, true); };
                std::vector<uint64_t> b1s, b2s, b1More, b2More;
                for (uint64_t b = lo; b <= at; b += cluster_) {
                    if (win(b, shift) == window || win(b, next) == window) continue;
                    if (b < at)
                        (Foreign(logical(b, shift), true) && !after(logical(b, shift)) ? b1s : b1More).push_back(b);
                    if (b > lo) (after(logical(b, next)) && !Foreign(logical(b, next), false) ? b2s : b2More).push_back(b);
                }
                b1s.insert(b1s.end(), b1More.begin(), b1More.end());
                b2s.insert(b2s.end(), b2More.begin(), b2More.end());
                size_t tries = 0;
                for (uint64_t b1 : b1s) {
                    // The middle piece at shifts between the two, those right after such bytes first.
                    std::vector<int64_t> mids, midMore;
                    for (int64_t mid = std::min(shift, next) + c; mid < std::max(shift, next) && !ok && tries <= 4096;
                         mid += c) {
                        if (win(b1, mid) == window || claims_.Claimed(logical(b1, mid)) || Foreign(logical(b1, mid), false))
                            continue;
                        (after(logical(b1, mid)) ? mids : midMore).push_back(mid);
                    }
                    mids.insert(mids.end(), midMore.begin(), midMore.end());
                    for (int64_t mid : mids) {
                        for (uint64_t b2 : b2s) {
                            if (ok || b2 <= b1 || ++tries > 4096 || claims_.Claimed(logical(b2, next))) continue;
                            std::vector<TPiece> trial = With(With(current, b1, logical(b1, mid)), b2, logical(b2, next));
                            if (!checks(trial, m)) continue;
                            current = std::move(trial);
                            ok = true;
                        }
                    }
                }
            }
            if (ok)
                shift = static_cast<int64_t>(current.back().Logical - start - StartOfLast(current));
        }
        if (!ok || shift != lastShift || current.size() < 2) continue;
        std::vector<TPiece> found = EndAt(current, fileEnd);
        if (!Disjoint(found)) continue;
        TPiecesInput all(*this, found, false);
        const TCarveHit check = WalkZip(all);
        if (check.End != TCarveEnd::Complete || check.Length != fileEnd) continue;
        pieces = std::move(found);
        hit.End = TCarveEnd::Complete;
        hit.Length = hit.ProvenBytes = fileEnd;
        hit.DecodedPercent = -1;
        return TPieceVerdict::Rebuilt;
    }
    return TPieceVerdict::Broken;
}

namespace {

// What an object's own bytes tell of its wholeness: a deflated stream inflates to its end,
// where zlib's Adler-32 proves every byte, or it does not; anything else cannot tell.
enum class TObjectProof : uint8_t { Holds, Fails, Silent };

TObjectProof ObjectProof(TCarveInput& in, uint64_t at, uint64_t next) {
    if (next <= at) return TObjectProof::Silent;
    std::string head(static_cast<size_t>(std::min<uint64_t>(next - at, 4096)), '\0');
    head.resize(in.Read(at, reinterpret_cast<uint8_t*>(head.data()), head.size()));
    const size_t st = head.find("stream");
    if (st == std::string::npos) return TObjectProof::Silent;
    const std::string_view dict(head.data(), st);
    if (dict.find("/FlateDecode") == std::string_view::npos) return TObjectProof::Silent;
    for (std::string_view other : {"/ASCII", "/LZW", "/RunLength", "/DCT", "/JPX", "/JBIG2", "/CCITT", "/Crypt"})
        if (dict.find(other) != std::string_view::npos) return TObjectProof::Silent;
    uint64_t from = at + st + 6;
    uint8_t eol[2] = {};
    in.Read(from, eol, 2);
    from += eol[0] == '\r' && eol[1] == '\n' ? 2 : eol[0] == '\n' || eol[0] == '\r' ? 1 : 0;
    z_stream z{};
    if (inflateInit(&z) != Z_OK) return TObjectProof::Silent;
    std::vector<uint8_t> src(16 * 1024), out(64 * 1024);
    int r = Z_OK;
    while (r == Z_OK && from < next) {
        if (z.avail_in == 0) {
            const size_t got = in.Read(from, src.data(), static_cast<size_t>(std::min<uint64_t>(src.size(), next - from)));
            if (got == 0) break;
            from += got;
            z.next_in = src.data();
            z.avail_in = static_cast<uInt>(got);
        }
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        r = inflate(&z, Z_NO_FLUSH);
        if (r == Z_BUF_ERROR && z.avail_out == 0) r = Z_OK;
    }
    while (r == Z_OK && z.avail_in > 0) {
        z.next_out = out.data();
        z.avail_out = static_cast<uInt>(out.size());
        r = inflate(&z, Z_NO_FLUSH);
        if (r == Z_BUF_ERROR) break;
    }
    inflateEnd(&z);
    return r == Z_STREAM_END ? TObjectProof::Holds : TObjectProof::Fails;
}

// An object without a stream read token by token from its header to "endobj": numbers,
// names, strings, dictionaries, arrays, references and the few keywords; what a break
// puts in its middle (words of text, another file's bytes) reads as none of these.
bool ObjectParses(TCarveInput& in, uint64_t at, uint64_t next) {
    if (next <= at || next - at > 64 * 1024) return false;
    std::string s(static_cast<size_t>(next - at), '\0');
    s.resize(in.Read(at, reinterpret_cast<uint8_t*>(s.data()), s.size()));
    size_t i = s.find("obj");
    if (i == std::string::npos || i > 40) return false;
    i += 3;
    // NUL counts as white space in the format, but writers do not put it between tokens;
    // zeros in an object are a zeroed cluster.
    auto space = [](char c) { return c == ' ' || c == '\r' || c == '\n' || c == '\t' || c == '\f'; };
    auto delim = [&](char c) { return space(c) || std::strchr("()<>[]{}/%", c) != nullptr; };
    int depth = 0;
    while (i < s.size()) {
        const char c = s[i];
        if (space(c)) {
            ++i;
        } else if (c == '%') {
            while (i < s.size() && s[i] != '\n' && s[i] != '\r') ++i;
        } else if (c == '/') {
            for (++i; i < s.size() && !delim(s[i]); ++i)
                if (static_cast<uint8_t>(s[i]) < 0x21 || static_cast<uint8_t>(s[i]) > 0x7E) return false;
        } else if (c == '(') {
            int nest = 1;
            for (++i; i < s.size() && nest; ++i) {
                if (s[i] == '\\') ++i;
                else if (s[i] == '(') ++nest;
                else if (s[i] == ')') --nest;
            }
            if (nest) return false;
        } else if (c == '<' && i + 1 < s.size() && s[i + 1] == '<') {
            ++depth, i += 2;
        } else if (c == '>' && i + 1 < s.size() && s[i + 1] == '>') {
            if (--depth < 0) return false;
            i += 2;
        } else if (c == '<') {
            for (++i; i < s.size() && s[i] != '>'; ++i)
                if (!std::isxdigit(static_cast<unsigned char>(s[i])) && !space(s[i])) return false;
            ++i;
        } else if (c == '[') {
            ++depth, ++i;
        } else if (c == ']') {
            if (--depth < 0) return false;
            ++i;
        } else {
            size_t k = i;
            while (k < s.size() && !delim(s[k])) ++k;
            const std::string_view word(s.data() + i, k - i);
            if (word == "endobj") return depth == 0;
            if (word == "stream") return false;
            const bool number = word.find_first_not_of("+-.0123456789") == std::string_view::npos;
            if (!number && word != "R" && word != "true" && word != "false" && word != "null") return false;
            if (k == i) return false;
            i = k;
        }
    }
    return false;
}

// The original's bytes as one piece at a shift that may put its start before the area's.
class TShiftedInput : public TCarveInput {
public:
    TShiftedInput(TPieceSearch& search, uint64_t start, int64_t shift) : search_(search), start_(start), shift_(shift) {}
    uint64_t Size() const override {
        const int64_t left = static_cast<int64_t>(search_.Total()) - static_cast<int64_t>(start_) - shift_;
        return left > 0 ? static_cast<uint64_t>(left) : 0;
    }
    size_t Read(uint64_t offset, uint8_t* buf, size_t n) override {
        const int64_t at = static_cast<int64_t>(start_ + offset) + shift_;
        if (at < 0 || offset >= Size()) return 0;
        return search_.Read(static_cast<uint64_t>(at), buf, static_cast<size_t>(std::min<uint64_t>(n, Size() - offset)));
    }
    bool EndsHere(uint64_t offset) override {
        const int64_t at = static_cast<int64_t>(start_ + offset) + shift_;
        return at < 0 || offset >= Size() || search_.Foreign(static_cast<uint64_t>(at), false);
    }

private:
    TPieceSearch& search_;
    uint64_t start_;
    int64_t shift_;
};

// A cross-reference section or object the document's tables place: where, and what must
// stand there ("xref" for a table).
struct TPdfMark {
    uint64_t At = 0, Num = 0;
    bool Table = false;
    bool operator<(const TPdfMark& o) const { return At < o.At; }
};

bool ParseUnsigned(std::string_view s, uint64_t& v) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || s[i] == '\r' || s[i] == '\n' || s[i] == '\t')) ++i;
    const size_t first = i;
    v = 0;
    for (; i < s.size() && s[i] >= '0' && s[i] <= '9' && i - first < 15; ++i) v = v * 10 + static_cast<uint64_t>(s[i] - '0');
    return i > first;
}

} // namespace

// The document's own tables say where each object starts in the original: the table found
// near an end mark on the disk gives the shift of the last piece, and the objects in the
// order of their offsets, each found at its place (the first one that is not gives a
// break before it, and its place on the disk the next shift), lead from the first piece to
// the last. A break that falls in a deflated stream is taken only where the stream then
// inflates whole; where no stream tells and more than one cluster boundary could hold the
// break, the document is left as it was. The rebuilt document must then pass its check.
TPieceVerdict TPieceSearch::RebuildPdf(uint64_t start, TCarveHit& hit, std::vector<TPiece>& pieces) {
    // Documents larger than this are not rebuilt: the window is read whole, once.
    constexpr uint64_t kPdfWindow = 16u << 20;
    const uint64_t reach = std::min<uint64_t>({Total() - start, hit.Length + 2 * kPieceSearchBytes, kPdfWindow});
    // From the bound before the start, where a later piece may lie too.
    const uint64_t before = std::min<uint64_t>(start, kPieceSearchBytes);
    Pin(start - before, before + reach);
    const std::string_view text(reinterpret_cast<const char*>(pinned_.data()), pinnedLen_);
    // Each "startxref" in the window is tried as the document's end: those after the
    // start nearest first, then those before it.
    std::vector<size_t> tails;
    for (size_t k = text.find("startxref", before); k != std::string_view::npos && tails.size() < 8;
         k = text.find("startxref", k + 9))
        tails.push_back(k);
    for (size_t k = before ? text.rfind("startxref", before - 1) : std::string_view::npos;
         k != std::string_view::npos && tails.size() < 12; k = k ? text.rfind("startxref", k - 1) : std::string_view::npos)
        tails.push_back(k);
    for (size_t k : tails) {
        const size_t e = text.find("%%EOF", k);
        uint64_t xref = 0;
        if (e == std::string_view::npos || e > k + 64 || !ParseUnsigned(text.substr(k + 9, 20), xref)) continue;
        uint64_t end = e + 5;
        if (end < text.size() && text[end] == '\r') ++end;
        if (end < text.size() && text[end] == '\n') ++end;
        std::vector<TPiece> found;
        if (!RebuildPdfTo(start, pinnedAt_ + k, pinnedAt_ + end, xref, found)) continue;
        pieces = std::move(found);
        hit.End = TCarveEnd::Complete;
        uint64_t length = 0;
        for (const TPiece& p : pieces) length += p.Length;
        hit.Length = hit.ProvenBytes = length;
        hit.DecodedPercent = -1;
        return TPieceVerdict::Rebuilt;
    }
    return TPieceVerdict::Broken;
}

std::vector<int64_t> TPieceSearch::Shifts(int64_t shift) const {
    std::vector<int64_t> out;
    const auto c = static_cast<int64_t>(cluster_), bound = static_cast<int64_t>(kPieceSearchBytes);
    for (int64_t d = c; d <= bound; d += c) out.push_back(shift + d);
    for (int64_t d = c; d <= bound; d += c) out.push_back(shift - d);
    return out;
}

bool TPieceSearch::RebuildPdfTo(uint64_t start, uint64_t tail, uint64_t end, uint64_t xref,
                                std::vector<TPiece>& pieces) {
    const uint64_t window = pinnedLen_;
    const auto o = static_cast<int64_t>(start - pinnedAt_);  // the start's place in the window
    // A byte of the original at a shift, as its place in the window; window when outside.
    auto win = [&](uint64_t orig, int64_t shift) {
        const int64_t at = o + static_cast<int64_t>(orig) + shift;
        return at < 0 || static_cast<uint64_t>(at) >= window ? window : static_cast<uint64_t>(at);
    };
    auto logical = [&](uint64_t orig, int64_t shift) { return start + orig + static_cast<uint64_t>(shift); };
    // Whether what the mark names stands where the shift puts it (all inside the window).
    auto lands = [&](const TPdfMark& m, int64_t shift) {
        const uint64_t at = win(m.At, shift);
        if (at + 64 > window) return false;
        const std::span<const uint8_t> b(pinned_.data() + at, 64);
        if (m.Table) return std::memcmp(b.data(), "xref", 4) == 0;
        TMemoryInput mem(b);
        return PdfObjectAt(mem, 0, m.Num, 64);
    };
    // The table (or stream) nearest before the "startxref", at a shift of whole clusters.
    const auto c = static_cast<int64_t>(cluster_);
    const int64_t tailRel = static_cast<int64_t>(tail - pinnedAt_) - o - static_cast<int64_t>(xref);
    bool placed = false;
    int64_t lastShift = 0;
    TPdfMark first{xref, 0, true};
    for (int64_t shift = (tailRel >= 0 ? tailRel : tailRel - c + 1) / c * c; !placed; shift -= c) {
        if (shift >= tailRel) continue;
        if (win(xref, shift) == window) break;
        TPdfMark t{xref, 0, true};
        if (!lands(t, shift)) {
            uint64_t num = 0;
            const uint64_t q = win(xref, shift);
            const std::string_view sv(reinterpret_cast<const char*>(pinned_.data() + q), std::min<uint64_t>(20, window - q));
            if (!ParseUnsigned(sv, num)) continue;
            t = {xref, num, false};
            if (!lands(t, shift)) continue;
        }
        first = t;
        lastShift = shift;
        placed = true;
    }
    const int64_t endRel = static_cast<int64_t>(end - pinnedAt_) - o - lastShift;
    if (!placed || endRel <= static_cast<int64_t>(xref)) return false;
    const auto fileEnd = static_cast<uint64_t>(endRel);
    // Every section, each read where one of the shifts known so far puts it.
    std::vector<TPdfMark> marks{first};
    constexpr size_t kMaxMarks = 1u << 20;
    uint64_t budget = kPdfMaxXrefEntries;
    std::set<uint64_t> seen;
    bool overflow = false;
    for (uint64_t at = xref; at != ~uint64_t{0} && seen.insert(at).second && seen.size() <= 256;) {
        uint64_t prev = ~uint64_t{0};
        bool read = false;
        for (int64_t shift : {lastShift, int64_t{0}}) {
            if (win(at, shift) == window) continue;
            TShiftedInput in(*this, start, shift);
            std::vector<TPdfMark> got;
            read = ReadPdfXref(in, at, fileEnd, [&](uint64_t num, uint64_t off) {
                if (got.size() < kMaxMarks) got.push_back({off, num, false});
                else overflow = true;
            }, prev, budget);
            if (!read) continue;
            if (at != xref) {
                uint8_t w[4] = {};
                in.Read(at, w, 4);
                if (std::memcmp(w, "xref", 4) == 0) marks.push_back({at, 0, true});
            }
            marks.insert(marks.end(), got.begin(), got.end());
            break;
        }
        if (!read || overflow || marks.size() > kMaxMarks) return false;
        at = prev;
    }
    std::stable_sort(marks.begin(), marks.end());
    marks.erase(std::unique(marks.begin(), marks.end(), [](const TPdfMark& a, const TPdfMark& b) { return a.At == b.At; }),
                marks.end());
    if (marks.empty() || marks.front().At == 0 || marks.back().At >= fileEnd) return false;

    std::vector<TPiece> current{{start, 0}};
    int64_t shift = 0;
    uint64_t before = 0;  // where the last object found in place starts
    for (const TPdfMark& m : marks) {
        if (lands(m, shift)) {
            before = m.At;
            continue;
        }
        if (current.size() >= kMaxPieces) return false;
        // A break lies after the object before, at a cluster boundary of the file.
        const uint64_t lastStart = StartOfLast(current);
        const uint64_t lo = std::max(before, lastStart) / cluster_ * cluster_ + cluster_;
        if (lo > m.At) return false;
        bool found = false;
        for (int64_t next : Shifts(shift)) {
            if (found) break;
            if (!lands(m, next)) continue;
            // Where the break falls: the one boundary whose stream inflates whole, else the
            // one boundary whose object then reads as an object, else the only boundary.
            std::vector<TPiece> best, parsed;
            size_t parses = 0;
            const size_t bounds = static_cast<size_t>((m.At - lo) / cluster_ + 1);
            for (uint64_t b = lo; b <= m.At; b += cluster_) {
                if (win(b, next) == window || claims_.Claimed(logical(b, next))) continue;
                std::vector<TPiece> trial = With(current, b, logical(b, next));
                // The new piece may not run into one the file has already.
                std::vector<TPiece> reach = trial;
                reach.back().Length = m.At + 64 - b;
                if (!Disjoint(reach)) continue;
                TPiecesInput in(*this, trial, false);
                const TObjectProof proof = ObjectProof(in, before, m.At);
                if (proof == TObjectProof::Fails) continue;
                if (proof == TObjectProof::Holds) {
                    best = std::move(trial);
                    break;
                }
                if (ObjectParses(in, before, m.At)) {
                    if (++parses == 1) parsed = trial;
                } else if (bounds == 1) {
                    best = std::move(trial);
                }
            }
            if (best.empty() && parses == 1) best = std::move(parsed);
            if (best.empty()) continue;
            current = std::move(best);
            shift = next;
            found = true;
        }
        if (!found) return false;
        before = m.At;
    }
    if (shift != lastShift || current.size() < 2) return false;
    pieces = EndAt(current, fileEnd);
    if (pieces.size() < 2 || !Disjoint(pieces)) return false;
    // The format's own check over the rebuilt bytes: every object of every section in place.
    TPiecesInput all(*this, pieces, false);
    const TCarveHit check = WalkPdf(all);
    return check.End == TCarveEnd::Complete && check.Length == fileEnd;
}

} // namespace brivo::carve
