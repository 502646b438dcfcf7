#pragma once
#include <atomic>
#include <chrono>
#include <memory>
#include <vector>

#include "core/ByteSource.h"
#include "core/UnreadableMap.h"

namespace brivo {

// A source whose reads fail like a disk's bad sectors: any read that touches one of the
// bad ranges fails whole (-1, "Input/output error") after `delay`, as a drive that
// retries internally before giving up. For tests and benchmarks of the readers over
// failing media; the bytes outside the bad ranges are the inner source's.
class TFailingByteSource final : public TByteSource {
public:
    TFailingByteSource(TByteSourcePtr inner, std::vector<TByteRange> bad,
                       std::chrono::microseconds delay = std::chrono::microseconds(0));
    uint64_t Size() const override { return inner_->Size(); }
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override;
    const std::string& Name() const override { return inner_->Name(); }
    std::string LastError() const override { return failed_ ? "Input/output error" : inner_->LastError(); }

    uint64_t Reads() const { return reads_; }
    uint64_t FailedReads() const { return failedReads_; }
    // Makes a bad range readable again (a sector that reads on the second try).
    void Heal(uint64_t offset, uint64_t length) { bad_.Remove(offset, length); }

private:
    TByteSourcePtr inner_;
    TUnreadableMap bad_;
    std::chrono::microseconds delay_;
    bool failed_ = false;
    std::atomic<uint64_t> reads_{0};
    std::atomic<uint64_t> failedReads_{0};
};

std::shared_ptr<TFailingByteSource> MakeFailingByteSource(TByteSourcePtr inner, std::vector<TByteRange> bad,
                                                          std::chrono::microseconds delay = std::chrono::microseconds(0));

} // namespace brivo
