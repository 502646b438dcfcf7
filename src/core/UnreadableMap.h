#pragma once
#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace brivo {

// A stretch of a source's bytes, [Offset, Offset + Length).
struct TByteRange {
    uint64_t Offset = 0;
    uint64_t Length = 0;
    uint64_t End() const { return Offset + Length; }
    bool operator==(const TByteRange&) const = default;
};

// The areas of a source that could not be read, merged and in order. Shared by every
// reader of one scan (the scan's readers and the extractors on other threads), so every
// method takes a lock; the scan's owner reads it at the end for the user's warning.
class TUnreadableMap {
public:
    // Adds [offset, offset + length), merged with what touches it. Ranges reaching past
    // 2^64 are clipped.
    void Add(uint64_t offset, uint64_t length);
    // Takes [offset, offset + length) out again (bytes that a later try could read).
    void Remove(uint64_t offset, uint64_t length);
    // Whether any byte of [offset, offset + length) is in the map.
    bool Touches(uint64_t offset, uint64_t length) const;
    // The parts of [offset, offset + length) that are in the map, in order.
    std::vector<TByteRange> Within(uint64_t offset, uint64_t length) const;
    std::vector<TByteRange> Areas() const;
    size_t Count() const;
    uint64_t TotalBytes() const;
    bool Empty() const { return Count() == 0; }

private:
    mutable std::mutex mutex_;
    std::map<uint64_t, uint64_t> areas_;  // offset -> end
};

} // namespace brivo
