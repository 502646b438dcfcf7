#include "results/RecoverySink.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "platform/RawSource.h"

namespace brivo {

TRecoveryFileSink::TRecoveryFileSink(int fd, std::string shownPath, const std::atomic<bool>* stop,
                                     std::function<void(uint64_t)> onBytes, TWriteFn write, bool hash)
    : fd_(fd),
      shownPath_(std::move(shownPath)),
      stop_(stop),
      onBytes_(std::move(onBytes)),
      write_(std::move(write)),
      hash_(hash) {
    if (!write_) write_ = [](int f, const void* b, size_t n) { return ::write(f, b, n); };
    buffer_.reserve(kBufferBytes);
}

void TRecoveryFileSink::WriteOut(const uint8_t* p, size_t n) {
    while (n > 0) {
        const ssize_t w = write_(fd_, p, n);
        if (w < 0 && errno == EINTR) continue;
        if (w < 0) throw std::runtime_error(ErrnoText(errno) + ": " + shownPath_);
        // A write that takes nothing without an error: the disk is full (what a retry
        // would report as ENOSPC).
        if (w == 0) throw std::runtime_error(ErrnoText(ENOSPC) + ": " + shownPath_);
        p += w;
        n -= static_cast<size_t>(w);
    }
}

void TRecoveryFileSink::Write(std::span<const uint8_t> bytes) {
    if (stop_ && stop_->load(std::memory_order_relaxed)) throw TExtractionStopped();
    if (bytes.empty()) return;
    if (hash_) sha_.Update(bytes);
    size_ += bytes.size();
    if (buffer_.size() + bytes.size() <= kBufferBytes) {
        buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    } else {
        if (!buffer_.empty()) {
            WriteOut(buffer_.data(), buffer_.size());
            buffer_.clear();
        }
        // A large piece goes out as it is, with no copy.
        if (bytes.size() >= kBufferBytes)
            WriteOut(bytes.data(), bytes.size());
        else
            buffer_.insert(buffer_.end(), bytes.begin(), bytes.end());
    }
    if (onBytes_) onBytes_(size_);
}

void TRecoveryFileSink::Finish() {
    if (buffer_.empty()) return;
    WriteOut(buffer_.data(), buffer_.size());
    buffer_.clear();
}

} // namespace brivo
