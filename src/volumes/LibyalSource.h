#pragma once
// The part every container library shares: a handle with open, read-at-offset, media
// size and close, and errors that carry a descriptive text. Included only by the one
// .cpp of each library, so no two library headers meet in one translation unit.
#include <sys/types.h>

#include <array>
#include <cstdint>
#include <functional>
#include <stdexcept>
#include <string>

#include "core/ByteSource.h"

namespace brivo::libyal {

// The descriptive part of a library error, which names what failed ("unable to read
// chunk: 3"); the library's function names are cut off the front.
template <class Error, class Sprint, class FreeFn>
std::string TakeErrorText(Error*& error, Sprint sprint, FreeFn freeFn) {
    if (error == nullptr) return {};
    std::array<char, 2048> buf{};
    const int n = sprint(error, buf.data(), buf.size());
    freeFn(&error);
    error = nullptr;
    if (n <= 0) return {};
    std::string text(buf.data(), std::min<size_t>(static_cast<size_t>(n), buf.size() - 1));
    // Only the first line: later lines repeat the same failure from outer functions.
    const size_t nl = text.find('\n');
    if (nl != std::string::npos) text.resize(nl);
    const size_t colon = text.find(": ");
    if (colon != std::string::npos && text.compare(0, 3, "lib") == 0) text.erase(0, colon + 2);
    while (!text.empty() && (text.back() == '.' || text.back() == ' ' || text.back() == '\r')) text.pop_back();
    return text;
}

// A byte source over an open library handle. Api supplies the handle type's calls:
//   static ssize_t Read(Handle*, void*, size_t, int64_t offset, Error**);
//   static std::string ErrorText(Error*&);   (frees the error)
//   static void Destroy(Handle*&);            (closes and frees)
template <class Api>
class TLibyalByteSource final : public TByteSource {
public:
    using Handle = typename Api::Handle;
    using Error = typename Api::Error;
    TLibyalByteSource(Handle* h, uint64_t size, std::string name, std::string format)
        : h_(h), size_(size), name_(std::move(name)), format_(std::move(format)) {}
    ~TLibyalByteSource() override { Api::Destroy(h_); }
    TLibyalByteSource(const TLibyalByteSource&) = delete;
    TLibyalByteSource& operator=(const TLibyalByteSource&) = delete;

    uint64_t Size() const override { return size_; }
    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override {
        if (offset >= size_) return 0;
        if (n > size_ - offset) n = static_cast<size_t>(size_ - offset);
        size_t done = 0;
        while (done < n) {
            Error* error = nullptr;
            const ssize_t r = Api::Read(h_, static_cast<uint8_t*>(buf) + done, n - done,
                                        static_cast<int64_t>(offset + done), &error);
            if (r < 0) {
                const std::string detail = Api::ErrorText(error);
                lastError_ = "The " + format_ + " image cannot be read at byte " + std::to_string(offset + done) +
                             " (a segment may be missing, cut short or damaged)" + (detail.empty() ? "" : ": " + detail);
                return -1;
            }
            if (error != nullptr) Api::ErrorText(error);
            if (r == 0) break;
            done += static_cast<size_t>(r);
        }
        return static_cast<int64_t>(done);
    }
    const std::string& Name() const override { return name_; }
    std::string LastError() const override { return lastError_; }

private:
    Handle* h_;
    uint64_t size_;
    std::string name_;
    std::string format_;
    std::string lastError_;
};

// The message of a container that cannot be opened.
inline std::runtime_error OpenFailure(const std::string& format, const std::string& path, const std::string& detail) {
    return std::runtime_error("The " + format + " image " + path +
                              " cannot be opened (it may be damaged, cut short, or miss a segment or extent file)" +
                              (detail.empty() ? "." : ": " + detail));
}

} // namespace brivo::libyal
