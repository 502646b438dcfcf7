#include "carve/ContentSearch.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <optional>
#include <set>

#include "carve/AreaView.h"
#include "carve/CarveFormat.h"
#include "carve/Pieces.h"
#include "core/TextFormat.h"

namespace brivo {

using namespace carve;

namespace {

constexpr uint64_t kSector = 512;
constexpr uint32_t kUsualCluster = 4096;
constexpr size_t kHead = 64;

std::string Lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    return s;
}

std::string NormalType(std::string t) {
    t = Lower(std::move(t));
    if (t.starts_with("*.")) t.erase(0, 2);
    if (t.starts_with(".")) t.erase(0, 1);
    if (t == "jpeg" || t == "jpe") return "jpg";
    if (t == "tiff") return "tif";
    if (t == "gzip") return "gz";
    if (t == "sqlite3" || t == "db") return "sqlite";
    return t;
}

std::string TypeFolder(const std::string& ext) {
    if (ext == "jpg") return "JPEG";
    if (ext == "tif") return "TIFF";
    if (ext == "gz") return "GZIP";
    std::string s = ext;
    for (char& c : s)
        if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    return s;
}

// The candidate as a walker sees it: from its start to the end of the searched bytes.
class TViewInput : public TCarveInput {
public:
    // block: the bytes of the search's current read, at logical offset blockStart; reads
    // that fall inside it are served from there rather than read again.
    TViewInput(TAreaView& view, uint64_t start, const std::vector<const TCarveFormat*>& all,
               std::span<const uint8_t> block, uint64_t blockStart)
        : view_(view), start_(start), all_(all), block_(block), blockStart_(blockStart) {}
    uint64_t Size() const override { return view_.Total() - start_; }
    size_t Read(uint64_t offset, uint8_t* buf, size_t n) override {
        if (offset >= Size()) return 0;
        n = static_cast<size_t>(std::min<uint64_t>(n, Size() - offset));
        const uint64_t at = start_ + offset;
        if (at >= blockStart_ && at - blockStart_ + n <= block_.size()) {
            std::memcpy(buf, block_.data() + (at - blockStart_), n);
            return n;
        }
        return view_.Read(at, buf, n);
    }
    bool EndsHere(uint64_t offset) override {
        std::array<uint8_t, kSector> s{};
        if (Read(offset, s.data(), s.size()) < kHead) return true;
        if (std::all_of(s.begin(), s.end(), [](uint8_t b) { return b == 0; })) return true;
        for (const TCarveFormat* f : all_)
            if (f->Sniff(s)) return true;
        return false;
    }

private:
    TAreaView& view_;
    uint64_t start_;
    const std::vector<const TCarveFormat*>& all_;
    std::span<const uint8_t> block_;
    uint64_t blockStart_;
};

// A candidate whose first length bytes are followed, not by what comes next, but by the
// bytes from tailAt on: a picture written around another file.
class TSplicedInput : public TCarveInput {
public:
    TSplicedInput(TCarveInput& base, uint64_t headLen, uint64_t tailAt) : base_(base), head_(headLen), tail_(tailAt) {}
    uint64_t Size() const override { return head_ + (base_.Size() - tail_); }
    size_t Read(uint64_t offset, uint8_t* buf, size_t n) override {
        size_t done = 0;
        if (offset < head_) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(n, head_ - offset));
            done = base_.Read(offset, buf, k);
            if (done < k) return done;
        }
        if (done < n) done += base_.Read(tail_ + (offset + done - head_), buf + done, n - done);
        return done;
    }
    bool EndsHere(uint64_t offset) override {
        return base_.EndsHere(offset < head_ ? offset : tail_ + (offset - head_));
    }

private:
    TCarveInput& base_;
    uint64_t head_, tail_;
};

// A picture cut short where another file begins, on a card whose camera wrote it around
// that file: its data may go on right after the other file. Joined only when the bytes
// there carry the picture's structure on, restart markers in turn, to its end mark.
// Returns the offset (from the picture's start) of its second piece, or 0.
uint64_t SecondJpegPiece(TCarveInput& in, const TCarveHit& head, const std::vector<const TCarveFormat*>& all,
                         TCarveHit& joined) {
    const uint64_t cut = head.Length;
    if (head.End != TCarveEnd::CutShort || cut % kSector || cut >= in.Size()) return 0;
    std::array<uint8_t, kHead> h{};
    if (in.Read(cut, h.data(), h.size()) < 8) return 0;
    for (const TCarveFormat* f : all) {
        if (!f->Sniff(h)) continue;
        TSplicedInput rest(in, 0, cut);  // the other file, from its own start
        const TCarveHit other = f->Walk(rest);
        if (other.End != TCarveEnd::Complete) return 0;
        const uint64_t tail = (cut + other.Length + kSector - 1) / kSector * kSector;
        if (tail >= in.Size()) return 0;
        TSplicedInput spliced(in, cut, tail);
        TCarveHit whole = WalkJpeg(spliced);
        if (whole.End != TCarveEnd::Complete || whole.Length <= cut) return 0;
        joined = whole;
        return tail;
    }
    return 0;
}

// A file rebuilt with pieces before its start on the disk: a result found earlier that
// starts in one of those pieces was a part of it, not a file of its own.
void DropStartingIn(TFoundFiles& found, const std::vector<TByteExtent>& taken) {
    std::erase_if(found, [&](const TFoundFile& f) {
        if (f.Extents.empty()) return false;
        const uint64_t at = f.Extents.front().Offset;
        return std::any_of(taken.begin(), taken.end(), [&](const TByteExtent& e) { return at >= e.Offset && at < e.Offset + e.Length; });
    });
}

std::string MiB(uint64_t bytes) {
    char b[32];
    std::snprintf(b, sizeof b, "%.0f MiB", static_cast<double>(bytes) / (1024.0 * 1024.0));
    return b;
}

} // namespace

TReaderResult SearchByContent(TByteSource& volume, TReaderReport& report, const TCarveOptions& opts) {
    TReaderResult result;
    TAreaView view(volume, opts.Areas);
    const uint64_t total = view.Total();

    std::set<std::string> wanted;
    for (const std::string& t : opts.Types)
        if (!t.empty()) wanted.insert(NormalType(t));
    std::vector<const TCarveFormat*> all, enabled;
    for (const TCarveFormat& f : CarveFormats()) {
        all.push_back(&f);
        bool on = wanted.empty();
        for (auto e : f.Exts) on = on || wanted.count(std::string(e));
        if (on) enabled.push_back(&f);
    }
    // Formats by the first byte they can start with: most sectors are tried against none.
    std::array<std::vector<const TCarveFormat*>, 256> byFirst;
    for (const TCarveFormat* f : enabled)
        for (uint8_t b : f->FirstBytes) byFirst[b].push_back(f);

    report.Log("Content search: " + MiB(total) + " to search" + (opts.Areas.empty() ? "" : " in free space"));
    const uint32_t blockBytes = std::max<uint32_t>(opts.BlockBytes & ~uint32_t{kSector - 1}, 64 * 1024);
    std::vector<uint8_t> block(blockBytes + (opts.EachBlock ? std::max<size_t>(kHead, kEachBlockTail) : kHead));
    std::set<std::string> paths;
    uint64_t complete = 0, cut = 0, damaged = 0, pieces = 0, rebuiltCount = 0, unreadable = 0;
    auto lastProgress = std::chrono::steady_clock::now() - std::chrono::seconds(1);
    auto progress = [&](uint64_t at, bool force) {
        const auto now = std::chrono::steady_clock::now();
        if (!force && now - lastProgress < std::chrono::milliseconds(250)) return;
        lastProgress = now;
        report.Progress(at, total,
                        report.Translate("Searching by content") + ": " + MiB(at) + " / " + MiB(total) + ", " +
                            std::to_string(result.Found.size()) + " " + report.Translate("found"));
    };

    // Clusters taken by files rebuilt from pieces, and the search that rebuilds them.
    TClaims claims;
    TPieceSearch pieceSearch(view, all, claims, opts.ClusterBytes);
    // A grid finer than the usual cluster of 4 KiB, where the volume names none: most such
    // volumes still hold their files in clusters of 4 KiB, and a picture's coded data is not
    // told from a stranger's a sector at a time. That grid is tried first; the fine one after
    // it only for the formats whose checks prove a piece by its CRC or its offsets.
    std::optional<TPieceSearch> coarse;
    if (opts.ClusterBytes < kUsualCluster && kUsualCluster % opts.ClusterBytes == 0)
        coarse.emplace(view, all, claims, kUsualCluster);
    uint64_t next = 0;  // candidates before this are inside a file already found
    uint64_t blockStart = 0;
    while (blockStart < total && !report.StopRequested()) {
        const size_t want = static_cast<size_t>(std::min<uint64_t>(block.size(), total - blockStart));
        const size_t got = view.Read(blockStart, block.data(), want);
        if (got == 0) {
            // Unreadable: go on past it, as a failing card's good sectors still hold files.
            ++unreadable;
            report.Log("Content search: cannot read at byte " + std::to_string(view.PhysicalAt(blockStart)) +
                       "; skipped 64 KiB");
            blockStart += 64 * 1024;
            continue;
        }
        std::fill(block.begin() + static_cast<std::ptrdiff_t>(got), block.end(), 0);
        const uint64_t blockEnd = blockStart + std::min<uint64_t>(got, blockBytes);
        if (opts.EachBlock) {
            // Piece by piece of the volume: bytes of two areas are not neighbours there.
            uint64_t logical = blockStart;
            for (const TByteExtent& piece : view.Physical(blockStart, got)) {
                const uint64_t own = blockEnd > logical ? std::min<uint64_t>(piece.Length, blockEnd - logical) : 0;
                if (own > 0)
                    opts.EachBlock(piece.Offset,
                                   std::span<const uint8_t>(block.data() + (logical - blockStart), piece.Length), own);
                logical += piece.Length;
            }
        }
        for (uint64_t c = view.NextAligned(std::max(next, blockStart)); c < blockEnd; c = view.NextAligned(c + 1)) {
            const uint8_t* head = block.data() + (c - blockStart);
            const auto& candidates = byFirst[head[0]];
            if (candidates.empty()) continue;
            if (claims.Claimed(c)) continue;  // a piece of a file rebuilt already
            std::span<const uint8_t> hs(head, kHead);
            std::array<uint8_t, kHead> padded{};
            if (c - blockStart + kHead > got) {
                std::memcpy(padded.data(), head, static_cast<size_t>(got - (c - blockStart)));
                hs = padded;
            }
            for (const TCarveFormat* f : candidates) {
                if (!f->Sniff(hs)) continue;
                TViewInput input(view, c, all, std::span<const uint8_t>(block.data(), got), blockStart);
                TCarveHit hit = f->Walk(input);
                if (hit.End == TCarveEnd::NotFile || hit.Length == 0) continue;
                // A file that runs to the end of the searched bytes was measured by a length
                // field nothing could confirm: a damaged or mistaken one must not hide the
                // files after it, so the search goes on from the next sector.
                next = hit.End == TCarveEnd::CutShort && hit.Length >= input.Size() ? c + 1 : c + hit.Length;
                // Past where a damaged file stops checking out the bytes may be anything,
                // another file's among them: they are searched too.
                if (hit.End == TCarveEnd::Damaged && !hit.ContentUnchecked)
                    next = c + std::max<uint64_t>(hit.ProvenBytes, 1);
                if (!wanted.empty() && !wanted.count(hit.Ext)) break;
                TFoundFile file;
                file.FoundBy = TFoundBy::Content;
                // Only where the file's own check failed: whole files cost nothing more.
                std::vector<TPiece> rebuilt;
                TPieceVerdict verdict = TPieceVerdict::Untried;
                if ((hit.End == TCarveEnd::CutShort || hit.End == TCarveEnd::Damaged) &&
                    !std::binary_search(opts.KnownStarts.begin(), opts.KnownStarts.end(), view.PhysicalAt(c))) {
                    if (coarse) verdict = coarse->Rebuild(*f, c, hit, rebuilt);
                    if (!coarse || (verdict != TPieceVerdict::Rebuilt && verdict != TPieceVerdict::Whole && f->Walk != WalkJpeg))
                        verdict = pieceSearch.Rebuild(*f, c, hit, rebuilt);
                }
                if (verdict == TPieceVerdict::Rebuilt) {
                    // Listed once, and its later pieces are nobody else's start.
                    next = c + rebuilt.front().Length;
                    std::vector<TByteExtent> before;
                    for (size_t i = 1; i < rebuilt.size(); ++i) {
                        claims.Claim(rebuilt[i].Logical, rebuilt[i].Length);
                        if (rebuilt[i].Logical < c)
                            for (const TByteExtent& e : view.Physical(rebuilt[i].Logical, rebuilt[i].Length)) before.push_back(e);
                    }
                    if (!before.empty()) DropStartingIn(result.Found, before);
                    for (const TPiece& p : rebuilt)
                        for (const TByteExtent& e : view.Physical(p.Logical, p.Length)) {
                            if (!file.Extents.empty() && file.Extents.back().Offset + file.Extents.back().Length == e.Offset)
                                file.Extents.back().Length += e.Length;
                            else
                                file.Extents.push_back(e);
                        }
                } else {
                    file.Extents = view.Physical(c, hit.Length);
                }
                file.SizeBytes = static_cast<int64_t>(hit.Length);
                TCarveHit joined;
                const uint64_t tail = f->Walk == WalkJpeg && verdict != TPieceVerdict::Rebuilt &&
                                              verdict != TPieceVerdict::Whole
                                          ? SecondJpegPiece(input, hit, all, joined)
                                          : 0;
                if (tail) {
                    // The file in between is found on its own when the search gets there.
                    const uint64_t headLen = hit.Length;
                    hit = joined;
                    for (const TByteExtent& e : view.Physical(c + tail, hit.Length - headLen)) {
                        if (file.Extents.back().Offset + file.Extents.back().Length == e.Offset)
                            file.Extents.back().Length += e.Length;
                        else
                            file.Extents.push_back(e);
                    }
                    file.SizeBytes = static_cast<int64_t>(hit.Length);
                    ++pieces;
                }
                file.FileType = std::string(f->Name);
                file.IsDeleted = true;
                file.HasModDate = hit.HasModDate;
                file.ModDateUtc = hit.HasModDate ? hit.ModDate : 0;
                const bool whole = hit.End == TCarveEnd::Complete;
                if (tail) {
                    file.DamageText = report.Translate(kCarveInPieces);
                    file.DamageScore = kCarveInPiecesScore;
                } else if (whole) {
                    file.DamageText = report.Translate(kCarveComplete);
                    file.DamageScore = kCarveCompleteScore;
                } else if (hit.End == TCarveEnd::Damaged && hit.ContentUnchecked) {
                    file.DamageText = report.Translate(kCarveUnchecked);
                    file.DamageScore = kCarveUncheckedScore;
                } else if (hit.End == TCarveEnd::Damaged) {
                    file.DamageText =
                        Format(report.Translate(kCarveDamaged), {DecodedShare(hit)});
                    file.DamageScore = kCarveDamagedScore;
                    ++damaged;
                } else {
                    file.DamageText = report.Translate(kCarveCutShort);
                    file.DamageScore = kCarveCutShortScore;
                }
                if (whole) ++complete;
                else if (hit.End == TCarveEnd::CutShort) ++cut;
                if (verdict == TPieceVerdict::Rebuilt) {
                    file.DamageText = Format(report.Translate(kCarveCompleteInPieces), {rebuilt.size()});
                    ++rebuiltCount;
                }
                const std::string folder = "/$Found by content/" + TypeFolder(hit.Ext) + "/";
                std::string sectorName = "f";
                sectorName += std::to_string(file.Extents.front().Offset / kSector);
                std::string base = hit.Title.empty() ? sectorName : hit.Title;
                std::string path = folder + base + "." + hit.Ext;
                // Two photos taken in the same second, or two copies of one document.
                if (paths.count(Lower(path))) path = folder + base + " (" + sectorName + ")." + hit.Ext;
                paths.insert(Lower(path));
                file.FullPath = path;
                result.Found.push_back(std::move(file));
                break;
            }
            if (next > c && next >= blockEnd) break;
            if (report.StopRequested()) break;
        }
        blockStart = opts.EachBlock ? blockEnd : std::max(blockEnd, next - next % kSector);
        claims.DropBefore(blockStart);
        progress(std::min(blockStart, total), false);
    }
    progress(std::min(blockStart, total), true);
    report.Log("Content search: " + std::to_string(result.Found.size()) + " files found (" + std::to_string(complete) +
               " complete, " + std::to_string(rebuiltCount) + " of them rebuilt from pieces, " + std::to_string(pieces) +
               " joined around another file, " + std::to_string(damaged) + " damaged, " + std::to_string(cut) + " cut short)" +
               (unreadable ? ", " + std::to_string(unreadable) + " unreadable stretches skipped" : "") +
               (report.StopRequested() ? ", stopped" : ""));
    return result;
}

void DropKnownStarts(TFoundFiles& found, std::vector<uint64_t> knownStarts) {
    std::sort(knownStarts.begin(), knownStarts.end());
    std::erase_if(found, [&](const TFoundFile& f) {
        return f.FoundBy == TFoundBy::Content && !f.Extents.empty() &&
               std::binary_search(knownStarts.begin(), knownStarts.end(), f.Extents.front().Offset);
    });
}

std::vector<std::string> KnownContentTypes() {
    std::set<std::string> all;
    for (const TCarveFormat& f : CarveFormats())
        for (auto e : f.Exts) all.insert(std::string(e));
    return {all.begin(), all.end()};
}

bool IsKnownContentType(const std::string& type) {
    const std::string t = NormalType(type);
    for (const TCarveFormat& f : CarveFormats())
        for (auto e : f.Exts)
            if (e == t) return true;
    return false;
}

} // namespace brivo
