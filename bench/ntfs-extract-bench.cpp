// Direct NTFS extraction benchmark: scans an image with the direct reader, then copies
// every listed deleted file with the direct extractor, into a folder or nowhere, and
// prints the time of each stage, the bytes copied, the results left to the engine and
// the peak memory. With --check, each copy is compared with `icat -R IMAGE ADDRESS`
// (slow: one icat process per file).
//
// Usage: ntfs-extract-bench IMAGE [--out DIR] [--all] [--check]
//   --out DIR  write the files there (as <n>.bin); default: count the bytes only
//   --all      mask "*" and no cleanup filter (default: "*.*" with the filter, as a
//              default scan lists them)
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <stdexcept>
#include <string>
#include <vector>

#include "core/ReaderReport.h"
#include "ntfs/NtfsExtract.h"
#include "ntfs/NtfsScan.h"
#include "platform/UniqueFd.h"

using namespace brivo;

namespace {

class CountingFallback : public TExtractor {
public:
    void Extract(const TFoundFile&, TByteSink&) override { ++calls; }
    int calls = 0;
};

class FileSink : public TByteSink {
public:
    void Write(std::span<const uint8_t> bytes) override {
        bytes_ += bytes.size();
        if (keep_) kept_.append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
        size_t done = 0;
        while (fd_ && done < bytes.size()) {
            const ssize_t w = ::write(fd_.get(), bytes.data() + done, bytes.size() - done);
            if (w < 0) throw std::runtime_error(std::string("write: ") + std::strerror(errno));
            done += static_cast<size_t>(w);
        }
    }
    UniqueFd fd_;
    bool keep_ = false;
    std::string kept_;
    uint64_t bytes_ = 0;
};

// icat's output for one address, run without a shell.
std::string Icat(const std::string& image, const std::string& inode) {
    int p[2];
    if (::pipe(p) != 0) throw std::runtime_error("pipe");
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(p[1], 1);
        ::close(p[0]);
        ::close(p[1]);
        ::execlp("icat", "icat", "-R", image.c_str(), inode.c_str(), static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(p[1]);
    std::string out;
    char buf[65536];
    for (ssize_t n; (n = ::read(p[0], buf, sizeof buf)) > 0;) out.append(buf, static_cast<size_t>(n));
    ::close(p[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    return out;
}

double Seconds(std::chrono::steady_clock::time_point a, std::chrono::steady_clock::time_point b) {
    return std::chrono::duration<double>(b - a).count();
}

} // namespace

int main(int argc, char** argv) {
    std::string image, out;
    bool all = false, check = false;
    for (int i = 1; i < argc; ++i) {
        const std::string a = argv[i];
        if (a == "--out" && i + 1 < argc) out = argv[++i];
        else if (a == "--all") all = true;
        else if (a == "--check") check = true;
        else image = a;
    }
    if (image.empty()) {
        std::fprintf(stderr, "usage: ntfs-extract-bench IMAGE [--out DIR] [--all] [--check]\n");
        return 2;
    }
    try {
        const TByteSourcePtr src = OpenRawByteSource(image);
        TNullReport report;
        TReaderOptions opts;
        if (all) {
            opts.Masks = {"*"};
            opts.Cleanup = false;
        }
        const auto t0 = std::chrono::steady_clock::now();
        const TReaderResult scan = FastScanNtfsDirect(*src, report, opts);
        const auto t1 = std::chrono::steady_clock::now();

        auto fallback = std::make_unique<CountingFallback>();
        CountingFallback* fb = fallback.get();
        auto ex = MakeNtfsExtractor(src, std::move(fallback));
        uint64_t bytes = 0;
        size_t n = 0, mismatches = 0, checked = 0;
        for (const TFoundFile& f : scan.Found) {
            FileSink sink;
            if (!out.empty()) {
                const std::string path = out + "/" + std::to_string(n) + ".bin";
                sink.fd_.reset(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644));
                if (!sink.fd_) throw std::runtime_error("cannot create " + path);
            }
            sink.keep_ = check;
            const int before = fb->calls;
            ex->Extract(f, sink);
            bytes += sink.bytes_;
            ++n;
            if (check && fb->calls == before) {
                ++checked;
                if (Icat(image, f.Inode) != sink.kept_) {
                    ++mismatches;
                    std::fprintf(stderr, "differs from icat: %s (%s)\n", f.FullPath.c_str(), f.Inode.c_str());
                }
            }
        }
        const auto t2 = std::chrono::steady_clock::now();
        rusage ru{};
        ::getrusage(RUSAGE_SELF, &ru);
        std::printf("scan %.3f s: %zu results\n", Seconds(t0, t1), scan.Found.size());
        std::printf("extract %.3f s: %zu files, %llu bytes, %d left to the engine, %.1f MB/s\n", Seconds(t1, t2), n,
                    static_cast<unsigned long long>(bytes), fb->calls,
                    Seconds(t1, t2) > 0 ? static_cast<double>(bytes) / 1e6 / Seconds(t1, t2) : 0.0);
        if (check) std::printf("checked against icat: %zu, differing: %zu\n", checked, mismatches);
        std::printf("peak RSS %ld KiB\n", ru.ru_maxrss);
        return mismatches ? 1 : 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "%s\n", e.what());
        return 1;
    }
}
