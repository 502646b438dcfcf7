// Times the fls route's text handling on a generated listing of one million body lines:
// collecting it from a child process, decoding it and parsing it into results.
//
//   cmake --build <build> --target fls-parse-bench && <build>/bench/fls-parse-bench [lines]
// or by hand from the repository root, after building brivo_tskparse in a Release <build>:
//   g++ -std=c++20 -O2 -Isrc bench/fls-parse-bench.cpp <build>/libbrivo_tskparse.a
//       <build>/libbrivo_filters.a <build>/libbrivo_engine.a <build>/libbrivo_core.a
//       <build>/libbrivo_platform.a -pthread -o /tmp/fls-parse-bench
// Each figure is wall time with this process's CPU time in brackets: on a shared
// machine the CPU time is the one that shows the code's cost.

#include <unistd.h>

#include <chrono>
#include <ctime>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>

#include "engine/TSKRunner.h"
#include "engine/ToolOutputDecode.h"
#include "tskparse/FlsOutputParser.h"

using namespace brivo;

namespace {

struct TTimer {
    std::chrono::steady_clock::time_point wall = std::chrono::steady_clock::now();
    std::clock_t cpu = std::clock();
    std::string Text() const {
        char buf[64];
        std::snprintf(buf, sizeof buf, "%.3f s (cpu %.3f s)",
                      std::chrono::duration<double>(std::chrono::steady_clock::now() - wall).count(),
                      static_cast<double>(std::clock() - cpu) / CLOCKS_PER_SEC);
        return buf;
    }
};

// A listing shaped like a big volume's: folders a few levels deep, one line in eight a
// deleted folder (dropped), some names with blanks, a few "(deleted-realloc)" and
// orphan entries, CR LF line ends. `name` lets the caller put non-ASCII into every name.
std::string MakeListing(size_t lines, const std::string& name) {
    std::string s;
    s.reserve(lines * 120);
    static const char* exts[] = {".jpg", ".docx", ".txt", ".mp3", ".pdf", ".c", ".xlsx"};
    char buf[160];
    for (size_t i = 0; i < lines; ++i) {
        s += "0|/Users/user";
        s += std::to_string(i % 7);
        s += "/Projects/p";
        s += std::to_string(i % 331);
        s += "/sub folder ";
        s += std::to_string(i % 13);
        s += '/';
        s += name;
        s += std::to_string(i);
        if (i % 8 == 3) {
            s += " (deleted)|";
            std::snprintf(buf, sizeof buf, "%zu-144-1|d/drwxrwxrwx|0|0|4096|1600000000|1600000001|1600000002|1600000003\r\n",
                          i + 64);
        } else {
            s += exts[i % 7];
            s += i % 97 == 5 ? " (deleted-realloc)|" : " (deleted)|";
            std::snprintf(buf, sizeof buf, "%zu-128-3|r/rrwxrwxrwx|0|0|%zu|1600000000|%zu|1600000002|1600000003\r\n",
                          i + 64, (i * 37) % 10000000, 1500000000 + i);
        }
        s += buf;
    }
    return s;
}

void Run(const char* label, const std::string& bytes, bool viaChild) {
    std::printf("%s: %.1f MB\n", label, bytes.size() / 1e6);
    std::string text;
    if (viaChild) {
        char path[] = "/tmp/fls-parse-bench-XXXXXX";
        const int fd = ::mkstemp(path);
        if (fd < 0) return;
        ::close(fd);
        std::ofstream(path, std::ios::binary) << bytes;
        TTSKRunner runner;
        runner.SetMaxCaptureBytes(bytes.size() + 1);
        const TTimer t;
        text = runner.RunCaptureText("/bin/cat", {path});  // includes decoding
        std::printf("  collect from a child + decode: %s\n", t.Text().c_str());
        ::unlink(path);
    }
    TTimer t;
    const std::string decoded = DecodeToolOutput(bytes);
    std::printf("  decode:                        %s\n", t.Text().c_str());
    if (viaChild && decoded != text) std::printf("  (child output differs from the input!)\n");

    t = TTimer();
    const TFoundFiles all = ParseFlsListing(decoded, TScanWhere::swDisk, {"*.*"});
    std::printf("  parse, mask *.*:               %s, %zu results\n", t.Text().c_str(), all.size());
    t = TTimer();
    const TFoundFiles some = ParseFlsListing(decoded, TScanWhere::swDisk, {"*.jpg", "*.docx", "report*.pdf"});
    std::printf("  parse, three masks:            %s, %zu results\n", t.Text().c_str(), some.size());
}

} // namespace

int main(int argc, char** argv) {
    const size_t lines = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 1000000;
    std::printf("%zu body lines\n", lines);
    Run("ASCII names", MakeListing(lines, "file "), true);
    Run("UTF-8 names", MakeListing(lines, "Ünïcödé файл "), false);
    // Names in code page 1251 ("файл"): not UTF-8, so every candidate is scored.
    Run("code page 1251 names", MakeListing(lines, "\xF4\xE0\xE9\xEB "), false);
    return 0;
}
