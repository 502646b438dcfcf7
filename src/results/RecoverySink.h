#pragma once
#include <atomic>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "core/Extractor.h"
#include "core/Sha256.h"

namespace brivo {

// The sink recovery streams a result's content into: the bytes go to an open output
// file through a small buffer (memory stays the same whatever the file's size), are
// hashed and counted as they pass. Every Write first looks at the Stop flag and throws
// TExtractionStopped once it is set; a write the system refuses (a full disk) throws
// std::runtime_error "<system message>: <shown path>".
class TRecoveryFileSink : public TByteSink {
public:
    // The file the writes go to, with a buffer's worth of bytes at a time. Tests pass one
    // that fails like a disk would.
    using TWriteFn = std::function<ssize_t(int fd, const void* buf, size_t n)>;
    static constexpr size_t kBufferBytes = size_t{256} << 10;

    // fd stays the caller's. stop may be null. onBytes, when set, is called after each
    // Write with the total count so far (on the extracting thread). hash: whether the
    // digest is wanted (it costs about as much processor time as the copy itself).
    TRecoveryFileSink(int fd, std::string shownPath, const std::atomic<bool>* stop,
                      std::function<void(uint64_t)> onBytes = {}, TWriteFn write = {}, bool hash = true);

    void Write(std::span<const uint8_t> bytes) override;
    // Writes what the buffer still holds. Throws like Write.
    void Finish();

    uint64_t Size() const { return size_; }
    // Digest of every byte passed to Write so far (call after Finish, once); empty when
    // the sink was made without hashing.
    std::string Sha256Hex() { return hash_ ? sha_.FinalHex() : std::string(); }

private:
    void WriteOut(const uint8_t* p, size_t n);

    int fd_;
    std::string shownPath_;
    const std::atomic<bool>* stop_;
    std::function<void(uint64_t)> onBytes_;
    TWriteFn write_;
    std::vector<uint8_t> buffer_;
    TSha256 sha_;
    bool hash_;
    uint64_t size_ = 0;
};

} // namespace brivo
