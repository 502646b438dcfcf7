#pragma once
#include <cstddef>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
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

// How a tool run by RunStreaming ended.
struct TChildEnd {
    int ExitCode = 0;       // 1 when Stop ended the tool; 128 + signal for other signals
    bool Stopped = false;   // ended by Stop()
    std::string ErrorText;  // what the tool wrote to stderr, decoded, blanks trimmed (first 64 KiB)
};

// Runs one engine tool as a child process: a program path and its arguments, passed to
// the child unchanged (never a shell, never re-split). One runner per front end; only one
// run at a time.
//
// Every child asks the kernel to kill it when the thread that started it ends, so an
// engine tool never outlives the program, even one killed outright. Every run waits for
// its child, so this never ends a tool early.
class TTSKRunner {
public:
    // A listing this big means a broken volume makes the tool loop; holding more would
    // only end in the program being killed for lack of memory.
    static constexpr size_t kDefaultMaxCaptureBytes = size_t{1} << 30;

    using TArgs = std::vector<std::string>;

    TTSKRunner() = default;
    TTSKRunner(const TTSKRunner&) = delete;
    TTSKRunner& operator=(const TTSKRunner&) = delete;

    // stdout+stderr merged; exit code not examined. Throws when the child cannot start.
    std::string RunCaptureText(const std::string& program, const TArgs& args);
    TRunTextResult RunCaptureTextEx(const std::string& program, const TArgs& args);
    // stdout into OutFileName (created/replaced, O_NOFOLLOW); stderr captured. Throws
    // (after deleting the file) on a non-zero exit code or non-blank error output.
    void RunCaptureBinaryToFile(const std::string& program, const TArgs& args, const std::string& outFileName);
    // stdout handed to onChunk piece by piece as it arrives (on the calling thread, never
    // an empty piece); stderr kept for TChildEnd::ErrorText. Does not judge the outcome:
    // FailureMessage says whether the run failed. Throws when the child cannot start. When
    // onChunk throws, the child is killed and reaped and the exception propagates. Stop()
    // ends the run with Stopped set.
    TChildEnd RunStreaming(const std::string& program, const TArgs& args,
                           const std::function<void(std::span<const uint8_t>)>& onChunk);
    // Kills the running child, if any. Any thread.
    void Stop();

    // Empty when the run succeeded (exit code 0 and no error text); otherwise the tool's
    // own error text, or "Process failed, exit code N" when it wrote none.
    static std::string FailureMessage(const TChildEnd& end);

    // Output beyond this many bytes kills the tool and raises an error.
    void SetMaxCaptureBytes(size_t n) { maxCapture_ = n; }

private:
    struct TCapture {
        int Fd;
        std::function<void(const char*, size_t)> Take;
    };
    // Starts the tool with stdin /dev/null, stdout outFd, stderr errFd, then closes our
    // copies of those two (so the capture pipes report their end); hands what arrives on
    // the capture fds to their Take until the child has ended; reaps it. The child never
    // outlives the call.
    TChildEnd RunChild(const std::string& program, const TArgs& args, UniqueFd outFd, UniqueFd errFd,
                       std::span<const TCapture> captures);

    std::mutex procLock_;
    pid_t FProc = 0;  // guarded by procLock_
    bool stopped_ = false;  // guarded by procLock_: Stop signalled FProc
    size_t maxCapture_ = kDefaultMaxCaptureBytes;
};

} // namespace brivo
