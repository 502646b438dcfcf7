#pragma once
#include <cstdint>
#include <mutex>
#include <string>
#include <sys/types.h>
#include <vector>

namespace brivo {

// Output of a text run: the decoded text plus how the tool ended, so callers that
// must not report a failure as success can look at the exit code.
struct TRunTextResult {
    std::string Text;
    int ExitCode = 0;
    bool Stopped = false;  // ended by Stop()
};

// Runs one engine tool as a child process (argv split from a quoted command line, never
// a shell). One runner per front end; only one run at a time.
class TTSKRunner {
public:
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

private:
    std::mutex procLock_;
    pid_t FProc = 0;  // guarded by procLock_
    bool stopped_ = false;
};

} // namespace brivo
