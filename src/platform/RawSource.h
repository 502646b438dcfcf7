#pragma once
#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>

#include "platform/UniqueFd.h"

namespace brivo {

// strerror text of an errno value.
std::string ErrnoText(int err);

// A scan source (device or image file) opened read-only. Sources are never opened for
// writing: the whole point is to leave the lost data where it is.
class TRawSource {
public:
    TRawSource() = default;
    // A block device the user may not open is asked of the system's disk service (see
    // DeviceBroker.h), which may show a password prompt. Throws std::runtime_error with
    // OpenErrorText() when the open fails.
    explicit TRawSource(const std::string& path);
    // Returns false and sets err (errno) instead of throwing.
    bool Open(const std::string& path, int& err);
    // Why the last Open failed, for the user: "<strerror>: <path>", or for a device the
    // disk service would not open, what was refused and what to do about it.
    const std::string& OpenErrorText() const { return openError_; }

    bool IsOpen() const { return static_cast<bool>(fd_); }
    int Fd() const { return fd_.get(); }
    const std::string& Path() const { return path_; }
    // Size in bytes (regular file st_size, block device BLKGETSIZE64); 0 when unknown.
    uint64_t Size() const { return size_; }

    // Reads up to n bytes at offset, looping over short reads until n or EOF.
    // Returns the count read; -1 with errno on an error.
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) const;
    // True only when exactly n bytes were read.
    bool ReadExact(uint64_t offset, void* buf, size_t n) const { return ReadAt(offset, buf, n) == static_cast<int64_t>(n); }

private:
    UniqueFd fd_;
    std::string path_;
    uint64_t size_ = 0;
    std::string openError_;
};

} // namespace brivo
