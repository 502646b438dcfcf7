#include "carve/CarveInput.h"

#include <algorithm>
#include <cstring>

namespace brivo::carve {

size_t TMemoryInput::Read(uint64_t offset, uint8_t* buf, size_t n) {
    if (offset >= bytes_.size()) return 0;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(n, bytes_.size() - offset));
    if (k > 0) std::memcpy(buf, bytes_.data() + offset, k);  // buf may be null when nothing is asked
    return k;
}

bool TMemoryInput::EndsHere(uint64_t offset) {
    if (offset >= bytes_.size()) return true;
    const size_t k = static_cast<size_t>(std::min<uint64_t>(512, bytes_.size() - offset));
    return std::all_of(bytes_.begin() + static_cast<std::ptrdiff_t>(offset),
                       bytes_.begin() + static_cast<std::ptrdiff_t>(offset + k), [](uint8_t b) { return b == 0; });
}

TCarveCursor::TCarveCursor(TCarveInput& in, uint64_t pos, size_t window) : in_(in), buf_(window), pos_(pos) {}

bool TCarveCursor::Load(uint64_t at, size_t need) {
    if (at >= bufStart_ && at - bufStart_ + need <= bufLen_) return true;
    bufStart_ = at;
    bufLen_ = in_.Read(at, buf_.data(), buf_.size());
    return need <= bufLen_;
}

bool TCarveCursor::Skip(uint64_t n) {
    if (n > in_.Size() - std::min(pos_, in_.Size())) {
        pos_ = in_.Size();
        return false;
    }
    pos_ += n;
    return true;
}

int TCarveCursor::Byte() {
    if (!Load(pos_, 1)) return -1;
    return buf_[static_cast<size_t>(pos_++ - bufStart_)];
}

bool TCarveCursor::Read(void* out, size_t n) {
    auto* o = static_cast<uint8_t*>(out);
    while (n > 0) {
        if (!Load(pos_, 1)) return false;
        const size_t off = static_cast<size_t>(pos_ - bufStart_);
        const size_t k = std::min(n, bufLen_ - off);
        std::memcpy(o, buf_.data() + off, k);
        o += k;
        n -= k;
        pos_ += k;
    }
    return true;
}

const uint8_t* TCarveCursor::Peek(size_t n) {
    if (n > buf_.size() || !Load(pos_, n)) return nullptr;
    return buf_.data() + (pos_ - bufStart_);
}

bool TCarveCursor::Find(uint8_t v) {
    for (;;) {
        if (!Load(pos_, 1)) {
            pos_ = std::max(pos_, in_.Size());
            return false;
        }
        const size_t off = static_cast<size_t>(pos_ - bufStart_);
        const void* hit = std::memchr(buf_.data() + off, v, bufLen_ - off);
        if (hit) {
            pos_ = bufStart_ + static_cast<size_t>(static_cast<const uint8_t*>(hit) - buf_.data());
            return true;
        }
        pos_ = bufStart_ + bufLen_;
    }
}

} // namespace brivo::carve
