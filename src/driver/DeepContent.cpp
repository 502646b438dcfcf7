#include "driver/DeepContent.h"

#include <algorithm>
#include <chrono>
#include <cstdio>

#include "carve/ContentSearch.h"
#include "core/ByteReaders.h"
#include "core/FileSystems.h"
#include "core/FsDetect.h"
#include "core/TextFormat.h"
#include "driver/ScanDriver.h"

namespace brivo {

namespace {

// Passes everything through, adding speed and time left to the progress texts.
class TSpeedReport final : public TReaderReport {
public:
    explicit TSpeedReport(TReaderReport& inner) : inner_(inner), startMs_(DriverClockMs()) {}
    void Log(const std::string& msg) override { inner_.Log(msg); }
    void DebugLog(const std::string& line) override { inner_.DebugLog(line); }
    void DebugLogLines(const std::string& lines) override { inner_.DebugLogLines(lines); }
    bool DebugEnabled() const override { return inner_.DebugEnabled(); }
    void Progress(uint64_t position, uint64_t max, const std::string& text) override {
        inner_.Progress(position, max,
                        WithSpeed(text, position, max, DriverClockMs() - startMs_, inner_.Translate("%s left")));
    }
    bool StopRequested() const override { return inner_.StopRequested(); }
    std::string Translate(const std::string& text) override { return inner_.Translate(text); }

private:
    TReaderReport& inner_;
    uint64_t startMs_;
};

} // namespace

std::string WithSpeed(const std::string& text, uint64_t position, uint64_t max, uint64_t elapsedMs,
                      const std::string& leftText) {
    // The first half second says too little about the speed to promise a time.
    if (elapsedMs < 500 || position == 0) return text;
    const double bytesPerMs = static_cast<double>(position) / static_cast<double>(elapsedMs);
    char speed[32];
    std::snprintf(speed, sizeof speed, "%.0f MiB/s", bytesPerMs * 1000.0 / (1024.0 * 1024.0));
    std::string out = text + ", " + speed;
    if (max > position) {
        const double leftMs = static_cast<double>(max - position) / bytesPerMs;
        out += ", " + Format(leftText, {ElapsedText(static_cast<uint64_t>(leftMs))});
    }
    return out;
}

uint32_t VolumeClusterBytes(TByteSource& volume) {
    constexpr uint32_t kSector = 512;
    std::vector<uint8_t> head(kDetectBytes);
    const int64_t got = volume.ReadAt(0, head.data(), head.size());
    if (got < static_cast<int64_t>(kBootSectorSize)) return kSector;
    head.resize(static_cast<size_t>(got));
    const ByteSpan b(head);
    // The volume's own record, decoded as detection, the probe and the search decode it.
    uint64_t unit = 0;
    if (const TFsInfo* fs = FindFileSystem(DetectFileSystemFromHead(b)); fs && b.size() >= fs->CopyOffset + fs->CopyBytes)
        if (const auto facts = fs->Facts(b.subspan(fs->CopyOffset, fs->CopyBytes))) unit = facts->ClusterBytes;
    // Only a power of two a file system uses; anything else is a damaged field.
    if (unit < kSector || unit > (64u << 20) || (unit & (unit - 1))) return kSector;
    return static_cast<uint32_t>(unit);
}

std::vector<std::string> ContentTypesFromMasks(const TMaskList& masks) {
    std::vector<std::string> types;
    for (const std::string& m : masks) {
        if (m.size() < 3 || !m.starts_with("*.") || m.find_first_of("*?", 2) != std::string::npos) return {};
        types.push_back(m.substr(2));
    }
    return types;
}

TFoundFiles SearchFreeSpace(TByteSource& volume, TReaderReport& report, TFreeSpaceSearch search) {
    if (report.StopRequested()) return {};
    if (search.AreasKnown && search.Areas.empty()) {
        report.Log("Content search: the file system marks no space free; nothing to search.");
        return {};
    }
    TCarveOptions opts;
    opts.Areas = std::move(search.Areas);
    opts.Types = std::move(search.Types);
    opts.EachBlock = std::move(search.EachBlock);
    opts.ClusterBytes = search.ClusterBytes ? search.ClusterBytes : VolumeClusterBytes(volume);
    opts.KnownStarts = search.KnownStarts;
    std::sort(opts.KnownStarts.begin(), opts.KnownStarts.end());
    TSpeedReport speed(report);
    report.Log("Content search: files' pieces looked for on a grid of " + std::to_string(opts.ClusterBytes) + " bytes");
    TReaderResult r = SearchByContent(volume, speed, opts);
    const size_t before = r.Found.size();
    DropKnownStarts(r.Found, std::move(search.KnownStarts));
    if (before != r.Found.size())
        report.Log("Content search: " + std::to_string(before - r.Found.size()) +
                   " finds left out, already listed by the file system");
    report.Log("Content search: " + std::to_string(r.Found.size()) + " files found by their content");
    return std::move(r.Found);
}

} // namespace brivo
