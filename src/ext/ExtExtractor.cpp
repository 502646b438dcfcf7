#include "ext/ExtExtractor.h"

#include <algorithm>
#include <charconv>
#include <stdexcept>

#include "ext/ExtVolume.h"

namespace brivo {

namespace {

constexpr uint64_t kChunkBytes = 1u << 20;

class TExtExtractor final : public TExtractor {
public:
    TExtExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback, std::shared_ptr<const TExtPlanMap> plans)
        : volume_(std::move(volume)), fallback_(std::move(fallback)), plans_(std::move(plans)) {}

    void Extract(const TFoundFile& f, TByteSink& sink) override {
        uint64_t n = 0;
        const auto r = std::from_chars(f.Inode.data(), f.Inode.data() + f.Inode.size(), n);
        if (r.ec != std::errc() || r.ptr != f.Inode.data() + f.Inode.size() || n == 0 || n > UINT32_MAX)
            return Fallback(f, sink, "it has no inode number");
        TExtVolume* vol = Volume();
        if (!vol) return Fallback(f, sink, "the volume cannot be read as ext2/3/4");
        if (plans_) {
            if (auto it = plans_->find(f.Inode); it != plans_->end()) {
                TExtFileMap map;
                map.Runs = it->second.Runs;
                return Copy(*vol, f, map, it->second.Size, sink);
            }
        }
        std::vector<uint8_t> raw;
        const auto inode = vol->ReadInode(static_cast<uint32_t>(n), &raw);
        if (!inode) return Fallback(f, sink, "its inode cannot be read");
        if (inode->HasInlineData()) {
            const std::vector<uint8_t> bytes = ExtInlineData(raw, *inode);
            if (!bytes.empty()) sink.Write(bytes);
            return;
        }
        if (inode->IsFastSymlink()) {
            const size_t len = static_cast<size_t>(std::min<uint64_t>(inode->Size, inode->Block.size()));
            if (len) sink.Write(std::span<const uint8_t>(inode->Block.data(), len));
            return;
        }
        const TExtFileMap map = vol->FileMap(*inode);
        if (inode->Size != 0 && map.Runs.empty()) return Fallback(f, sink, "its block map is gone");
        if (!map.Complete) return Fallback(f, sink, "its block map is damaged");
        Copy(*vol, f, map, inode->Size, sink);
    }

private:
    TExtVolume* Volume() {
        if (!tried_) {
            tried_ = true;
            try {
                vol_ = std::make_unique<TExtVolume>(*volume_);
            } catch (const std::exception&) {
            }
        }
        return vol_.get();
    }

    void Fallback(const TFoundFile& f, TByteSink& sink, const std::string& why) {
        if (fallback_) return fallback_->Extract(f, sink);
        throw std::runtime_error("Cannot copy " + f.FullPath + ": " + why);
    }

    void Zeros(TByteSink& sink, uint64_t count) {
        std::vector<uint8_t> zeros(static_cast<size_t>(std::min(count, kChunkBytes)), 0);
        while (count) {
            const size_t k = static_cast<size_t>(std::min<uint64_t>(count, zeros.size()));
            sink.Write(std::span<const uint8_t>(zeros.data(), k));
            count -= k;
        }
    }

    void Copy(TExtVolume& vol, const TFoundFile& f, const TExtFileMap& map, uint64_t size, TByteSink& sink) {
        const uint64_t bs = vol.BlockSize();
        uint64_t done = 0;
        std::vector<uint8_t> buf;
        for (const TExtRun& r : map.Runs) {
            if (done >= size) break;
            const uint64_t runStart = r.Logical * bs;
            if (runStart < done) continue;   // overlapping runs: the first one wins
            if (runStart > done) {           // a hole
                const uint64_t gap = std::min(runStart, size) - done;
                Zeros(sink, gap);
                done += gap;
                if (done >= size) break;
            }
            const uint64_t bytes = std::min<uint64_t>(r.Count * bs, size - done);
            if (r.Unwritten) {
                Zeros(sink, bytes);
                done += bytes;
                continue;
            }
            if (r.Physical >= vol.BlocksCount() || vol.BlocksCount() - r.Physical < (bytes + bs - 1) / bs)
                return Fallback(f, sink, "its blocks run past the end of the volume");
            for (uint64_t at = 0; at < bytes;) {
                const size_t k = static_cast<size_t>(std::min(kChunkBytes, bytes - at));
                buf.resize(k);
                const uint64_t offset = r.Physical * bs + at;
                if (!vol.Source().ReadExact(offset, buf.data(), k)) {
                    const std::string why = vol.Source().LastError();
                    throw std::runtime_error("Cannot read " + vol.Source().Name() + " at byte " + std::to_string(offset) +
                                             (why.empty() ? std::string() : ": " + why));
                }
                sink.Write(buf);
                at += k;
            }
            done += bytes;
        }
        // A sparse tail.
        if (done < size) Zeros(sink, size - done);
    }

    TByteSourcePtr volume_;
    std::unique_ptr<TExtractor> fallback_;
    std::shared_ptr<const TExtPlanMap> plans_;
    std::unique_ptr<TExtVolume> vol_;
    bool tried_ = false;
};

} // namespace

std::unique_ptr<TExtractor> MakeExtExtractor(TByteSourcePtr volume, std::unique_ptr<TExtractor> fallback,
                                             std::shared_ptr<const TExtPlanMap> plans) {
    return std::make_unique<TExtExtractor>(std::move(volume), std::move(fallback), std::move(plans));
}

} // namespace brivo
