#include "carve/Pieces.h"

#include <zlib.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <deque>

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
    pinned_.resize(static_cast<size_t>(n));
    pinnedLen_ = 0;  // no stale bytes are served while it fills
    pinnedLen_ = view_.Read(from, pinned_.data(), pinned_.size());
    pinnedAt_ = from;
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
    if (format.Walk == WalkZip) return RebuildZip(start, hit, pieces);
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
            // How far a block's DC lies from the one above it, on average, in the picture so
            // far: a continuation's first row must match its row above about as well.
            const double own = m->second.Jumps ? static_cast<double>(m->second.Jump) / static_cast<double>(m->second.Jumps) : 0.0;
            std::vector<TPiece> best;
            double bestJump = 0, runnerUp = 1e300;
            for (uint64_t c = bl + S.Cluster(); c < S.Total() && c < bl + kPieceSearchBytes; c += S.Cluster()) {
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
            if (check.End != TCarveEnd::Complete || check.Length != w.At) {
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
            const uint64_t back = std::min<uint64_t>(bl - current.back().Logical, 64 * 1024);
            S.Pin(bl - back, back + kPieceSearchBytes + cl);
            const double own = m.second.Jumps >= 16 ? static_cast<double>(m.second.Jump) / static_cast<double>(m.second.Jumps) : -1;
            std::vector<TCandidate> out;
            for (uint64_t c = bl + cl; c < S.Total() && c < bl + kPieceSearchBytes; c += cl) {
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
            if (p.size() < 2) return false;
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
            Pin(bl, kPieceSearchBytes + (sane ? chunkEnd - b : 0) + cluster_);
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
            for (uint64_t c = bl + cluster_; c < Total() && c < bl + kPieceSearchBytes && !found; c += cluster_) {
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
        if (!found) break;
    }
    return TPieceVerdict::Broken;
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
            const uint64_t back = std::min<uint64_t>(bl - current.back().Logical, 64 * 1024);
            Pin(bl - back, back + kPieceSearchBytes + cluster_);
            for (uint64_t c = bl + cluster_; c < Total() && c < bl + kPieceSearchBytes && !found; c += cluster_) {
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

} // namespace brivo::carve
