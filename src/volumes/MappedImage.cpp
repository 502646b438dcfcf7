#include "volumes/MappedImage.h"

#include <sys/stat.h>

#include <algorithm>
#include <map>
#include <mutex>
#include <sstream>
#include <stdexcept>
#include <vector>

#include "platform/RawSource.h"
#include "volumes/RescueMap.h"

namespace brivo {

namespace {

struct TNamedMaps {
    std::mutex Lock;
    std::map<std::string, std::string> ByImage;
};

TNamedMaps& NamedMaps() {
    static TNamedMaps maps;
    return maps;
}

class TMappedImageSource final : public TByteSource {
public:
    TMappedImageSource(TByteSourcePtr inner, std::vector<TRescueBlock> missing, std::string mapPath)
        : inner_(std::move(inner)), missing_(std::move(missing)), mapPath_(std::move(mapPath)) {}

    uint64_t Size() const override { return inner_->Size(); }
    const std::string& Name() const override { return inner_->Name(); }
    std::string LastError() const override { return lastError_; }

    int64_t ReadAt(uint64_t offset, void* buf, size_t n) override {
        if (n > 0 && offset < Size()) {
            const uint64_t end = offset + std::min<uint64_t>(n, Size() - offset);
            // The first missing area that ends past offset.
            auto it = std::upper_bound(missing_.begin(), missing_.end(), offset,
                                       [](uint64_t pos, const TRescueBlock& b) { return pos < b.Pos + b.Size; });
            if (it != missing_.end() && it->Pos < end) {
                lastError_ = std::string(it->Status == TRescueStatus::NonTried ? "not copied yet" : "unreadable") +
                             " on the disk this image was copied from (map " + mapPath_ + ")";
                return -1;
            }
        }
        const int64_t got = inner_->ReadAt(offset, buf, n);
        if (got < 0) lastError_ = inner_->LastError();
        return got;
    }

private:
    TByteSourcePtr inner_;
    std::vector<TRescueBlock> missing_;  // in order
    std::string mapPath_;
    std::string lastError_;
};

// The same image whatever path names it (relative, absolute, through a link).
std::string ImageKey(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return path;
    return std::to_string(st.st_dev) + ":" + std::to_string(st.st_ino);
}

bool IsRegularFile(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

} // namespace

std::string RescueMapFor(const std::string& imagePath) {
    {
        std::lock_guard<std::mutex> hold(NamedMaps().Lock);
        auto it = NamedMaps().ByImage.find(ImageKey(imagePath));
        if (it != NamedMaps().ByImage.end()) return it->second;
    }
    const std::string beside = imagePath + ".map";
    return IsRegularFile(beside) ? beside : std::string();
}

void UseRescueMap(const std::string& imagePath, const std::string& mapPath) {
    std::lock_guard<std::mutex> hold(NamedMaps().Lock);
    if (mapPath.empty()) NamedMaps().ByImage.erase(ImageKey(imagePath));
    else NamedMaps().ByImage[ImageKey(imagePath)] = mapPath;
}

TByteSourcePtr WithRescueMap(TByteSourcePtr disk, const std::string& imagePath) {
    bool named = false;
    {
        std::lock_guard<std::mutex> hold(NamedMaps().Lock);
        named = NamedMaps().ByImage.count(ImageKey(imagePath)) > 0;
    }
    const std::string mapPath = RescueMapFor(imagePath);
    if (mapPath.empty()) return disk;
    try {
        std::string text;
        int err = 0;
        if (!ReadRescueMapFile(mapPath, text, err))
            throw std::runtime_error("Cannot read the map file " + mapPath + ": " + ErrnoText(err) + ".");
        const TRescueMap map = ParseRescueMap(text, disk->Size());
        if (map.FileExtent != disk->Size())
            throw std::runtime_error("The map file " + mapPath + " describes " + std::to_string(map.FileExtent) +
                                     " bytes, but the image " + imagePath + " holds " + std::to_string(disk->Size()) +
                                     ": it is not this image's map.");
        std::vector<TRescueBlock> missing;
        for (const TRescueBlock& b : map.Blocks())
            if (b.Status != TRescueStatus::Finished) missing.push_back(b);
        if (missing.empty()) return disk;
        return std::make_shared<TMappedImageSource>(std::move(disk), std::move(missing), mapPath);
    } catch (const std::runtime_error&) {
        if (named) throw;
        return disk;
    }
}

} // namespace brivo
