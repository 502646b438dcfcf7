#pragma once
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

#include "platform/UniqueFd.h"

namespace brivo {

// Output of a text run: the decoded text plus how the tool ended, so callers that
// must not report a failure as success can look at the exit code.
struct TRunTextResult {
    std::string Text;
    int ExitCode = 0;      // 1 when Stop ended the tool; 128 + signal for other signals
    bool Stopped = false;  // ended by Stop()
};

// Runs one engine tool as a child process (argv split from a quoted command line, never
// a shell). One runner per front end; only one run at a time.
class TTSKRunner {
public:
    // A listing this big means a broken volume makes the tool loop; holding more would
    // only end in the program being killed for lack of memory.
    static constexpr size_t kDefaultMaxCaptureBytes = size_t{1} << 30;

    TTSKRunner() = default;
    TTSKRunner(const TTSKRunner&) = delete;
    TTSKRunner& operator=(const TTSKRunner&) = delete;

    // stdout+stderr merged; exit code not examined. Throws when the child cannot start.
    std::string RunCaptureText(const std::string& commandLine);
    TRunTextResult RunCaptureTextEx(const std::string& commandLine);
    // stdout into OutFileName (created/replaced, O_NOFOLLOW); stderr captured. Throws
    // (after deleting the file) on a non-zero exit code or non-blank error output.
    void RunCaptureBinaryToFile(const std::string& commandLine, const std::string& outFileName);
    // Kills the running child, if any. Any thread.
    void Stop();

    // Output beyond this many bytes kills the tool and raises an error.
    void SetMaxCaptureBytes(size_t n) { maxCapture_ = n; }

private:
    struct TChildEnd {
        int ExitCode = 0;
        bool Stopped = false;
    };
    // Starts argv with stdin /dev/null, stdout outFd, stderr errFd, then closes our
    // copies of those two (so the capture pipe reports its end); collects captureFd until
    // the child has ended; reaps it. The child never outlives the call.
    TChildEnd RunChild(const std::vector<std::string>& argv, UniqueFd outFd, UniqueFd errFd, int captureFd,
                       std::string& captured);

    std::mutex procLock_;
    pid_t FProc = 0;  // guarded by procLock_
    bool stopped_ = false;  // guarded by procLock_: Stop signalled FProc
    size_t maxCapture_ = kDefaultMaxCaptureBytes;
};

} // namespace brivo
