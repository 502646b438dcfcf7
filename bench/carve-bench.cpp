// Content search over an image file, timed, every result copied out: the figures the
// carve bench script compares with other tools.
//   carve-bench IMAGE OUTDIR
// OUTDIR/results.tsv lists each copy with its condition, its number of pieces, its
// first byte's offset and its pieces (offset+length, in bytes).
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>

#include "carve/ContentSearch.h"
#include "core/Extractor.h"

using namespace brivo;

namespace {
class TFileSink : public TByteSink {
public:
    explicit TFileSink(const std::string& path) : out_(path, std::ios::binary) {}
    void Write(std::span<const uint8_t> b) override {
        out_.write(reinterpret_cast<const char*>(b.data()), static_cast<std::streamsize>(b.size()));
    }

private:
    std::ofstream out_;
};
} // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: %s IMAGE OUTDIR\n", argv[0]);
        return 2;
    }
    auto src = OpenRawByteSource(argv[1]);
    TNullReport report;
    const auto t0 = std::chrono::steady_clock::now();
    const TReaderResult r = SearchByContent(*src, report, TCarveOptions{});
    const double search = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    std::filesystem::create_directories(argv[2]);
    auto extractor = MakeExtentExtractor(src, nullptr);
    // Each result's copy, condition and number of pieces, for scripts that check them.
    std::ofstream list(std::string(argv[2]) + "/results.tsv");
    size_t complete = 0, named = 0;
    for (size_t i = 0; i < r.Found.size(); ++i) {
        const TFoundFile& f = r.Found[i];
        const std::string name = f.FullPath.substr(f.FullPath.rfind('/') + 1);
        complete += f.DamageText == "Complete";
        named += name[0] != 'f' || name.find_first_not_of("0123456789", 1) != name.rfind('.');
        const std::string copy = std::to_string(i) + "-" + name;
        TFileSink sink(std::string(argv[2]) + "/" + copy);
        extractor->Extract(f, sink);
        list << copy << '\t' << f.DamageText << '\t' << f.Extents.size() << '\t' << f.Extents.front().Offset << '\t';
        for (size_t k = 0; k < f.Extents.size(); ++k)
            list << (k ? "," : "") << f.Extents[k].Offset << '+' << f.Extents[k].Length;
        list << '\n';
    }
    const double total = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    const double mib = static_cast<double>(src->Size()) / (1024.0 * 1024.0);
    std::printf("found %zu (complete %zu, named from content %zu); search %.2f s (%.0f MiB/s), with copying %.2f s\n",
                r.Found.size(), complete, named, search, mib / search, total);
    return 0;
}
