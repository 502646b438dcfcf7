#pragma once
#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace brivo {

// Where a reader's bytes come from: a raw file or device, a partition of another source,
// or a container (E01, VHD, VMDK, QCOW2) decoded in-process. Readers see only this, so
// they never know whether the bytes are compressed, sliced or local.
//
// Not safe for concurrent use: one thread reads at a time (a container library keeps
// its own cursor and caches). Whoever needs the source on another thread opens its own.
class TByteSource {
public:
    virtual ~TByteSource() = default;

    // Size in bytes; 0 when unknown.
    virtual uint64_t Size() const = 0;
    // Up to n bytes at offset. Returns the count read, short only at the end of the
    // source; -1 on an error (LastError says why).
    virtual int64_t ReadAt(uint64_t offset, void* buf, size_t n) = 0;
    // The source as named in messages ("/dev/sdb", "disk.E01", "disk.E01, volume 2").
    virtual const std::string& Name() const = 0;
    // Why the last read failed, for the user's message; empty when nothing is known.
    virtual std::string LastError() const { return {}; }

    // True only when exactly n bytes were read.
    bool ReadExact(uint64_t offset, void* buf, size_t n) {
        return ReadAt(offset, buf, n) == static_cast<int64_t>(n);
    }
};

using TByteSourcePtr = std::shared_ptr<TByteSource>;

// Bytes held in memory (tests, fuzzing, small crafted volumes). The bytes are copied.
TByteSourcePtr MakeMemoryByteSource(std::span<const uint8_t> bytes, std::string name = "memory");

// A raw file or block device opened read-only. Throws std::runtime_error
// "<strerror>: <path>" when it cannot be opened.
TByteSourcePtr OpenRawByteSource(const std::string& path);

// Bytes [offset, offset + length) of parent, seen from 0 (a partition). Reads past its
// end return short; a range that is not inside the parent's known size is refused at
// construction (std::runtime_error).
TByteSourcePtr MakeSliceByteSource(TByteSourcePtr parent, uint64_t offset, uint64_t length, std::string name);

} // namespace brivo
