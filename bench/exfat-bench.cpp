// Direct exFAT benchmark: scans an image with the direct reader (with --deep, the free-
// space sweep too), then, with --out, copies every listed deleted file with the direct
// extractor into a folder, and prints the time of each stage, the results, the bytes
// copied, the results left to the engine and the peak memory.
//
// Usage: exfat-bench IMAGE [--deep] [--out DIR] [--list]
//   --list  also print every result as "address<TAB>path"
// With EXFAT_BENCH_SHOW_FALLBACKS set, the results left to the engine are named on stderr.
#include <fcntl.h>
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>

#include "core/ReaderReport.h"
#include "exfat/ExFatExtractor.h"
#include "exfat/ExFatScan.h"

using namespace brivo;

namespace {

class CountingFallback : public TExtractor {
public:
    void Extract(const TFoundFile& f, TByteSink&) override {
        ++calls;
        if (show) std::fprintf(stderr, "to the engine: %s\t%s\t%s\n", f.Inode.c_str(), f.FullPath.c_str(), f.DamageText.c_str());
    }
    bool show = std::getenv("EXFAT_BENCH_SHOW_FALLBACKS") != nullptr;
    int calls = 0;
};

class FileSink : public TByteSink {
public:
    explicit FileSink(const std::string& path) : fd_(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644)) {
        if (fd_ < 0) throw std::runtime_error("cannot create " + path);
    }
    ~FileSink() override { ::close(fd_); }
    void Write(std::span<const uint8_t> b) override {
        size_t done = 0;
        while (done < b.size()) {
            const ssize_t n = ::write(fd_, b.data() + done, b.size() - done);
            if (n <= 0) throw std::runtime_error("write failed");
            done += static_cast<size_t>(n);
        }
        bytes += b.size();
    }
    uint64_t bytes = 0;

private:
    int fd_;
};

double Seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

} // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s IMAGE [--deep] [--out DIR] [--list]\n", argv[0]);
        return 2;
    }
    TReaderOptions opts;
    opts.Masks = {};
    opts.Cleanup = false;
    std::string out;
    bool list = false;
    for (int i = 2; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--deep")) opts.Deep = true;
        else if (!std::strcmp(argv[i], "--out") && i + 1 < argc) out = argv[++i];
        else if (!std::strcmp(argv[i], "--list")) list = true;
    }
    const TByteSourcePtr src = OpenRawByteSource(argv[1]);
    TNullReport report;
    auto t0 = std::chrono::steady_clock::now();
    const TReaderResult r = FastScanExFatDirect(*src, report, opts);
    std::printf("scan: %.3f s, %zu results\n", Seconds(t0), r.Found.size());
    if (list)
        for (const auto& f : r.Found) std::printf("%s\t%s\n", f.Inode.c_str(), f.FullPath.c_str());
    if (!out.empty()) {
        auto fallback = std::make_unique<CountingFallback>();
        CountingFallback* fb = fallback.get();
        const auto x = MakeExFatExtractor(src, std::move(fallback));
        uint64_t bytes = 0;
        int failed = 0;
        t0 = std::chrono::steady_clock::now();
        for (size_t i = 0; i < r.Found.size(); ++i) {
            try {
                FileSink sink(out + "/" + std::to_string(i) + ".bin");
                x->Extract(r.Found[i], sink);
                bytes += sink.bytes;
            } catch (const std::exception&) {
                ++failed;
            }
        }
        std::printf("recover: %.3f s, %llu bytes, %d to the engine, %d failed\n", Seconds(t0),
                    static_cast<unsigned long long>(bytes), fb->calls, failed);
    }
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    std::printf("peak memory: %ld KiB\n", ru.ru_maxrss);
    return 0;
}
