#include "core/FailingByteSource.h"

#include <stdexcept>
#include <thread>

namespace brivo {

TFailingByteSource::TFailingByteSource(TByteSourcePtr inner, std::vector<TByteRange> bad, std::chrono::microseconds delay)
    : inner_(std::move(inner)), delay_(delay) {
    if (!inner_) throw std::invalid_argument("failing source over no source");
    for (const TByteRange& r : bad) bad_.Add(r.Offset, r.Length);
}

int64_t TFailingByteSource::ReadAt(uint64_t offset, void* buf, size_t n) {
    ++reads_;
    const uint64_t size = inner_->Size();
    uint64_t span = n;
    if (size != 0) span = offset >= size ? 0 : std::min<uint64_t>(n, size - offset);
    if (bad_.Touches(offset, span)) {
        ++failedReads_;
        failed_ = true;
        if (delay_.count() > 0) std::this_thread::sleep_for(delay_);
        return -1;
    }
    failed_ = false;
    return inner_->ReadAt(offset, buf, n);
}

std::shared_ptr<TFailingByteSource> MakeFailingByteSource(TByteSourcePtr inner, std::vector<TByteRange> bad,
                                                          std::chrono::microseconds delay) {
    return std::make_shared<TFailingByteSource>(std::move(inner), std::move(bad), delay);
}

} // namespace brivo
