#include "carve/AreaView.h"

#include <algorithm>

namespace brivo::carve {

TAreaView::TAreaView(TByteSource& source, std::vector<TByteExtent> areas) : source_(source) {
    const uint64_t size = source.Size();
    if (areas.empty()) areas.push_back({0, size});
    std::sort(areas.begin(), areas.end(), [](const TByteExtent& a, const TByteExtent& b) { return a.Offset < b.Offset; });
    for (TByteExtent a : areas) {
        if (size && a.Offset >= size) continue;
        if (size) a.Length = std::min(a.Length, size - a.Offset);
        if (a.Length == 0) continue;
        if (!pieces_.empty()) {
            TPiece& last = pieces_.back();
            const uint64_t lastEnd = last.Physical + last.Length;
            if (a.Offset <= lastEnd) {
                const uint64_t end = std::max(lastEnd, a.Offset + a.Length);
                total_ += end - lastEnd;
                last.Length = end - last.Physical;
                continue;
            }
        }
        pieces_.push_back({total_, a.Offset, a.Length});
        total_ += a.Length;
    }
}

size_t TAreaView::PieceOf(uint64_t logical) const {
    if (hint_ < pieces_.size() && pieces_[hint_].Logical <= logical && logical - pieces_[hint_].Logical < pieces_[hint_].Length)
        return hint_;
    auto it = std::upper_bound(pieces_.begin(), pieces_.end(), logical,
                               [](uint64_t v, const TPiece& p) { return v < p.Logical; });
    return static_cast<size_t>(it - pieces_.begin()) - 1;  // logical < total_, so it is past the first
}

size_t TAreaView::Read(uint64_t logical, uint8_t* buf, size_t n) {
    size_t done = 0;
    while (done < n && logical < total_) {
        const size_t i = PieceOf(logical);
        hint_ = i;
        const TPiece& p = pieces_[i];
        const uint64_t in = logical - p.Logical;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n - done, p.Length - in));
        const int64_t r = source_.ReadAt(p.Physical + in, buf + done, k);
        if (r <= 0) break;
        done += static_cast<size_t>(r);
        logical += static_cast<uint64_t>(r);
        if (static_cast<size_t>(r) < k) break;
    }
    return done;
}

uint64_t TAreaView::PhysicalAt(uint64_t logical) const {
    if (logical >= total_) return pieces_.empty() ? 0 : pieces_.back().Physical + pieces_.back().Length;
    const TPiece& p = pieces_[PieceOf(logical)];
    return p.Physical + (logical - p.Logical);
}

std::vector<TByteExtent> TAreaView::Physical(uint64_t logical, uint64_t length) const {
    std::vector<TByteExtent> out;
    while (length > 0 && logical < total_) {
        const TPiece& p = pieces_[PieceOf(logical)];
        const uint64_t in = logical - p.Logical;
        const uint64_t k = std::min(length, p.Length - in);
        if (!out.empty() && out.back().Offset + out.back().Length == p.Physical + in) out.back().Length += k;
        else out.push_back({p.Physical + in, k});
        logical += k;
        length -= k;
    }
    return out;
}

uint64_t TAreaView::NextAligned(uint64_t from) {
    while (from < total_) {
        const size_t i = PieceOf(from);
        hint_ = i;
        const TPiece& p = pieces_[i];
        const uint64_t phys = p.Physical + (from - p.Logical);
        const uint64_t aligned = (phys + 511) / 512 * 512;
        if (aligned - p.Physical < p.Length) return p.Logical + (aligned - p.Physical);
        from = p.Logical + p.Length;
    }
    return total_;
}

} // namespace brivo::carve
