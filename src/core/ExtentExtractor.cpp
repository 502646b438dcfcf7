#include "core/Extractor.h"

#include <algorithm>
#include <vector>

namespace brivo {

namespace {

// Bytes read from the volume per request: large enough for disk speed, small enough
// that a file of any size never sits in memory.
constexpr uint64_t kChunkBytes = 1u << 20;

class TExtentExtractor final : public TExtractor {
public:
    TExtentExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> next)
        : volume_(std::move(volume)), next_(std::move(next)) {}

    void Extract(const TFoundFile& f, TByteSink& sink) override {
        if (f.Extents.empty()) {
            if (!next_) throw std::runtime_error("Cannot copy " + f.FullPath + ": no way to read it on this volume.");
            next_->Extract(f, sink);
            return;
        }
        if (!volume_) throw std::runtime_error("Cannot copy " + f.FullPath + ": the volume is not open.");
        std::vector<uint8_t> buf;
        for (const TByteExtent& e : f.Extents) {
            uint64_t at = e.Offset;
            uint64_t left = e.Length;
            const uint64_t size = volume_->Size();
            if (size != 0 && (e.Offset > size || e.Length > size - e.Offset))
                throw std::runtime_error("Cannot read " + volume_->Name() + " at byte " + std::to_string(e.Offset) +
                                         ": the file's bytes run past the end of the volume.");
            while (left > 0) {
                const size_t n = static_cast<size_t>(std::min(left, kChunkBytes));
                buf.resize(n);
                const int64_t got = volume_->ReadAt(at, buf.data(), n);
                if (got != static_cast<int64_t>(n)) {
                    std::string why = got < 0 ? volume_->LastError() : "the source ends early";
                    if (why.empty()) why = "read error";
                    throw std::runtime_error("Cannot read " + volume_->Name() + " at byte " + std::to_string(at) + ": " + why);
                }
                sink.Write(std::span<const uint8_t>(buf.data(), n));
                at += n;
                left -= n;
            }
        }
    }

private:
    TByteSourcePtr volume_;
    std::unique_ptr<TExtractor> next_;
};

} // namespace

std::unique_ptr<TExtractor> MakeExtentExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> next) {
    return std::make_unique<TExtentExtractor>(std::move(volume), std::move(next));
}

} // namespace brivo
