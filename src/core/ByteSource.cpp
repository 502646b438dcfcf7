#include "core/ByteSource.h"

#include <algorithm>
#include <cstring>
#include <stdexcept>

#include "platform/RawSource.h"

namespace brivo {

namespace {

class TMemoryByteSource final : public TByteSource {
public:
    TMemoryByteSource(std::span<const uint8_t> bytes, std::string name)
        : bytes_(bytes.begin(), bytes.end()), name_(std::move(name)) {}
    uint64_t Size() const override { return bytes_.size(); }
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override {
        if (offset >= bytes_.size()) return 0;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, bytes_.size() - offset));
        if (k > 0) std::memcpy(buf, bytes_.data() + offset, k);
        return static_cast<int64_t>(k);
    }
    const std::string& Name() const override { return name_; }

private:
    std::vector<uint8_t> bytes_;
    std::string name_;
};

class TRawByteSource final : public TByteSource {
public:
    explicit TRawByteSource(const std::string& path) : raw_(path) {}
    uint64_t Size() const override { return raw_.Size(); }
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override {
        const int64_t r = raw_.ReadAt(offset, buf, n);
        if (r < 0) lastError_ = ErrnoText(errno);
        return r;
    }
    const std::string& Name() const override { return raw_.Path(); }
    std::string LastError() const override { return lastError_; }

private:
    TRawSource raw_;
    std::string lastError_;
};

class TSliceByteSource final : public TByteSource {
public:
    TSliceByteSource(TByteSourcePtr parent, uint64_t offset, uint64_t length, std::string name)
        : parent_(std::move(parent)), offset_(offset), length_(length), name_(std::move(name)) {}
    uint64_t Size() const override { return length_; }
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override {
        if (offset >= length_) return 0;
        const size_t k = static_cast<size_t>(std::min<uint64_t>(n, length_ - offset));
        return parent_->ReadAt(offset_ + offset, buf, k);
    }
    const std::string& Name() const override { return name_; }
    std::string LastError() const override { return parent_->LastError(); }

private:
    TByteSourcePtr parent_;
    uint64_t offset_;
    uint64_t length_;
    std::string name_;
};

} // namespace

TByteSourcePtr MakeMemoryByteSource(std::span<const uint8_t> bytes, std::string name) {
    return std::make_shared<TMemoryByteSource>(bytes, std::move(name));
}

TByteSourcePtr OpenRawByteSource(const std::string& path) { return std::make_shared<TRawByteSource>(path); }

TByteSourcePtr MakeSliceByteSource(TByteSourcePtr parent, uint64_t offset, uint64_t length, std::string name) {
    if (!parent) throw std::invalid_argument("slice of no source");
    const uint64_t size = parent->Size();
    if (offset > UINT64_MAX - length || (size != 0 && offset + length > size))
        throw std::runtime_error("The volume lies past the end of " + parent->Name() + ".");
    return std::make_shared<TSliceByteSource>(std::move(parent), offset, length, std::move(name));
}

} // namespace brivo
