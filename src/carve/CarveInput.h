#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace brivo::carve {

// The bytes a format walker sees: a candidate file from its first byte to the end of the
// area being searched, which may be pieced together from scattered free clusters. Walkers
// read through this only, a little at a time, so a file of any size is never held whole.
class TCarveInput {
public:
    virtual ~TCarveInput() = default;
    // Bytes readable from the candidate's start.
    virtual uint64_t Size() const = 0;
    // Up to n bytes at offset (from the candidate's start); fewer only past Size() or
    // when the medium cannot be read there.
    virtual size_t Read(uint64_t offset, uint8_t* buf, size_t n) = 0;
    // True when the 512-byte sector at offset (a multiple of 512 from the start) holds
    // only zeros or begins another recognised file. Formats that have no length field and
    // are found by scanning forward (PDF, RTF) stop there.
    virtual bool EndsHere(uint64_t /*offset*/) { return false; }
};

// A candidate held in memory (tests, fuzzing, an EXIF block inside a JPEG).
class TMemoryInput : public TCarveInput {
public:
    explicit TMemoryInput(std::span<const uint8_t> bytes) : bytes_(bytes) {}
    uint64_t Size() const override { return bytes_.size(); }
    size_t Read(uint64_t offset, uint8_t* buf, size_t n) override;
    bool EndsHere(uint64_t offset) override;

private:
    std::span<const uint8_t> bytes_;
};

// Sequential reading through a window of a few tens of KiB; reads past the input's end
// fail softly (Byte() gives -1, Read false), so walkers test once where they need to.
class TCarveCursor {
public:
    explicit TCarveCursor(TCarveInput& in, uint64_t pos = 0, size_t window = 64 * 1024);
    uint64_t Pos() const { return pos_; }
    void Seek(uint64_t pos) { pos_ = pos; }
    // Moves on n bytes; false when that passes the input's end.
    bool Skip(uint64_t n);
    bool AtEnd() const { return pos_ >= in_.Size(); }
    int Byte();
    bool Read(void* out, size_t n);
    // n bytes at the position without moving, valid until the next call; nullptr when fewer
    // than n remain. n at most the window.
    const uint8_t* Peek(size_t n);
    // Moves to the next byte equal to v (true) or to the input's end (false).
    bool Find(uint8_t v);
    TCarveInput& Input() { return in_; }

private:
    bool Load(uint64_t at, size_t need);
    TCarveInput& in_;
    std::vector<uint8_t> buf_;
    uint64_t bufStart_ = 0;
    size_t bufLen_ = 0;
    uint64_t pos_ = 0;
};

// Big-endian readers over a span; 0 when out of range.
inline uint64_t ReadBeN(std::span<const uint8_t> b, size_t pos, int n) {
    if (n <= 0 || n > 8 || pos > b.size() || b.size() - pos < static_cast<size_t>(n)) return 0;
    uint64_t v = 0;
    for (int i = 0; i < n; ++i) v = (v << 8) | b[pos + static_cast<size_t>(i)];
    return v;
}
inline uint16_t ReadBe16(std::span<const uint8_t> b, size_t pos) { return static_cast<uint16_t>(ReadBeN(b, pos, 2)); }
inline uint32_t ReadBe32(std::span<const uint8_t> b, size_t pos) { return static_cast<uint32_t>(ReadBeN(b, pos, 4)); }
inline uint64_t ReadBe64(std::span<const uint8_t> b, size_t pos) { return ReadBeN(b, pos, 8); }

} // namespace brivo::carve
