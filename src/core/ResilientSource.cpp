#include "core/ResilientSource.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

namespace brivo {

namespace {

thread_local TUnreadableWatch* tCurrentWatch = nullptr;

// The end of the aligned block of size `size` that holds pos, at most limit.
uint64_t AlignedEnd(uint64_t pos, uint64_t size, uint64_t limit) {
    const uint64_t start = pos - pos % size;
    const uint64_t end = start > UINT64_MAX - size ? UINT64_MAX : start + size;
    return std::min(end, limit);
}

} // namespace

TResilientSource::TResilientSource(TByteSourcePtr inner, std::shared_ptr<TUnreadableMap> map, TResilientOptions options)
    : inner_(std::move(inner)), map_(std::move(map)), opt_(options) {
    if (!inner_) throw std::invalid_argument("resilient source over no source");
    if (!map_) map_ = std::make_shared<TUnreadableMap>();
    if (opt_.Unit == 0) opt_.Unit = 512;
    if (opt_.BlockBytes < opt_.Unit) opt_.BlockBytes = opt_.Unit;
    opt_.BlockBytes -= opt_.BlockBytes % opt_.Unit;
    if (opt_.MaxFailuresInRow == 0) opt_.MaxFailuresInRow = 1;
}

bool TResilientSource::ReadWhole(uint64_t offset, uint8_t* dst, uint64_t n) {
    if (inner_->ReadAt(offset, dst, static_cast<size_t>(n)) == static_cast<int64_t>(n)) return true;
    NoteFailure();
    return false;
}

void TResilientSource::NoteFailure() {
    ++failedReads_;
    lastWhy_ = inner_->LastError();
    if (lastWhy_.empty()) lastWhy_ = "read error";
}

bool TResilientSource::Unreadable(uint64_t offset, uint64_t n, bool skipped, uint64_t readStart, uint8_t* readBuf) {
    if (n == 0) return true;
    map_->Add(offset, n);
    if (skipped) skipped_.Add(offset, n);
    uint8_t* at = readBuf + (offset - readStart);
    std::memset(at, 0, static_cast<size_t>(n));
    const std::string why = lastWhy_.empty() ? std::string("it could not be read before") : lastWhy_;
    const std::string message = "Cannot read " + inner_->Name() + " at byte " + std::to_string(offset) + ": " + why;
    TUnreadableWatch::Note(at, n, offset, message);
    if (opt_.Strict) {
        lastError_ = why + " (at byte " + std::to_string(offset) + ")";
        return false;
    }
    return true;
}

int64_t TResilientSource::ReadAt(uint64_t offset, void* buf, size_t count) {
    if (count == 0) return 0;
    const uint64_t size = inner_->Size();
    uint64_t n = count;
    if (size != 0) {
        if (offset >= size) return 0;
        n = std::min<uint64_t>(n, size - offset);
    }
    if (n > UINT64_MAX - offset) n = UINT64_MAX - offset;
    auto* out = static_cast<uint8_t*>(buf);
    if (!map_->Touches(offset, n)) {
        const int64_t got = inner_->ReadAt(offset, out, static_cast<size_t>(n));
        if (got == static_cast<int64_t>(n)) {
            if (offset == failRunEnd_) failsInRow_ = 0;
            return got;
        }
        // Without a known size a short read is the end; with one it is a failure.
        if (got >= 0 && size == 0) return got;
        NoteFailure();
    }
    lastWhy_.clear();
    const uint64_t end = offset + n;
    uint64_t pos = offset;
    while (pos < end) {
        const uint64_t blockEnd = AlignedEnd(pos, opt_.BlockBytes, end);
        uint64_t p = pos;
        for (const TByteRange& bad : map_->Within(pos, blockEnd - pos)) {
            if (bad.Offset > p && !ReadPiece(p, out + (p - offset), bad.Offset - p, offset, out)) return -1;
            // Known bad: not tried again.
            lastWhy_.clear();
            if (!Unreadable(bad.Offset, bad.Length, false, offset, out)) return -1;
            p = bad.End();
        }
        if (p < blockEnd && !ReadPiece(p, out + (p - offset), blockEnd - p, offset, out)) return -1;
        pos = blockEnd;
    }
    return static_cast<int64_t>(n);
}

bool TResilientSource::ReadPiece(uint64_t offset, uint8_t* dst, uint64_t n, uint64_t readStart, uint8_t* readBuf) {
    const bool inRun = failsInRow_ >= opt_.MaxFailuresInRow && offset == failRunEnd_;
    if (ReadWhole(offset, dst, n)) {
        failsInRow_ = 0;
        return true;
    }
    const uint64_t end = offset + n;
    if (inRun) {
        // Deep in a bad stretch: does it end inside this piece? Its sectors are read from
        // the end back until one fails (one failed read when it does not); what lies before
        // waits for RetrySkipped.
        return SkipRun(offset, end, readStart, readBuf);
    }
    for (uint64_t u = offset; u < end;) {
        const uint64_t uEnd = AlignedEnd(u, opt_.Unit, end);
        if (ReadWhole(u, readBuf + (u - readStart), uEnd - u)) {
            failsInRow_ = 0;
        } else {
            if (u != failRunEnd_) failsInRow_ = 0;
            ++failsInRow_;
            failRunEnd_ = uEnd;
            if (!Unreadable(u, uEnd - u, false, readStart, readBuf)) return false;
            if (failsInRow_ >= opt_.MaxFailuresInRow && uEnd < end) return SkipRun(uEnd, end, readStart, readBuf);
        }
        u = uEnd;
    }
    return true;
}

bool TResilientSource::SkipRun(uint64_t offset, uint64_t end, uint64_t readStart, uint8_t* readBuf) {
    uint64_t back = end;
    while (back > offset) {
        const uint64_t uStart = std::max(offset, (back - 1) - (back - 1) % opt_.Unit);
        if (!ReadWhole(uStart, readBuf + (uStart - readStart), back - uStart)) break;
        back = uStart;
    }
    // Good sectors at the end: the stretch is over.
    if (back < end) failsInRow_ = 0;
    failRunEnd_ = back < end ? UINT64_MAX : end;
    return Unreadable(offset, back - offset, true, readStart, readBuf);
}

std::vector<TByteRange> TResilientSource::RetrySkipped(const TOnRead& onRead, const std::atomic<bool>* stop) {
    TUnreadableMap recovered;
    std::vector<uint8_t> unit(opt_.Unit);
    auto tryUnit = [&](uint64_t a, uint64_t b) {
        if (!ReadWhole(a, unit.data(), b - a)) return false;
        map_->Remove(a, b - a);
        recovered.Add(a, b - a);
        if (onRead) onRead(a, std::span<const uint8_t>(unit.data(), static_cast<size_t>(b - a)));
        return true;
    };
    for (const TByteRange& area : skipped_.Areas()) {
        uint64_t front = area.Offset, back = area.End();
        uint32_t fails = 0;
        while (front < back && fails < opt_.MaxFailuresInRow) {
            if (stop && stop->load()) break;
            const uint64_t uEnd = AlignedEnd(front, opt_.Unit, back);
            fails = tryUnit(front, uEnd) ? 0 : fails + 1;
            front = uEnd;
        }
        fails = 0;
        while (back > front && fails < opt_.MaxFailuresInRow) {
            if (stop && stop->load()) break;
            uint64_t uStart = (back - 1) - (back - 1) % opt_.Unit;
            uStart = std::max(uStart, front);
            fails = tryUnit(uStart, back) ? 0 : fails + 1;
            back = uStart;
        }
        skipped_.Remove(area.Offset, area.Length);
    }
    return recovered.Areas();
}

std::shared_ptr<TResilientSource> MakeResilientSource(TByteSourcePtr inner, std::shared_ptr<TUnreadableMap> map,
                                                      TResilientOptions options) {
    return std::make_shared<TResilientSource>(std::move(inner), std::move(map), options);
}

TUnreadableWatch::TUnreadableWatch() : outer_(tCurrentWatch) { tCurrentWatch = this; }

TUnreadableWatch::~TUnreadableWatch() { tCurrentWatch = outer_; }

void TUnreadableWatch::Note(const uint8_t* at, uint64_t length, uint64_t sourceOffset, const std::string& message) {
    TUnreadableWatch* w = tCurrentWatch;
    if (!w || length == 0) return;
    if (!w->any_) w->firstMessage_ = message;
    w->any_ = true;
    // A buffer read again before it was passed on: the old note is stale.
    std::erase_if(w->hits_, [&](const THit& h) { return h.At < at + length && at < h.At + h.Length; });
    w->hits_.push_back({at, length, sourceOffset, message});
}

std::vector<TByteRange> TUnreadableWatch::TakeWithin(std::span<const uint8_t> bytes) {
    std::vector<TByteRange> out;
    if (hits_.empty() || bytes.empty()) return out;
    const uint8_t* a = bytes.data();
    const uint8_t* b = a + bytes.size();
    for (auto it = hits_.begin(); it != hits_.end();) {
        const uint8_t* ha = it->At;
        const uint8_t* hb = it->At + it->Length;
        if (ha < b && a < hb) {
            const uint8_t* s = std::max(ha, a);
            const uint8_t* e = std::min(hb, b);
            out.push_back({static_cast<uint64_t>(s - a), static_cast<uint64_t>(e - s)});
            // What lies outside these bytes may still be passed on in a later piece.
            std::vector<THit> rest;
            if (ha < a) rest.push_back({ha, static_cast<uint64_t>(a - ha), it->SourceOffset, it->Message});
            if (hb > b)
                rest.push_back({b, static_cast<uint64_t>(hb - b), it->SourceOffset + static_cast<uint64_t>(b - ha), it->Message});
            it = hits_.erase(it);
            it = hits_.insert(it, rest.begin(), rest.end()) + static_cast<std::ptrdiff_t>(rest.size());
        } else {
            ++it;
        }
    }
    std::sort(out.begin(), out.end(), [](const TByteRange& x, const TByteRange& y) { return x.Offset < y.Offset; });
    return out;
}

} // namespace brivo
