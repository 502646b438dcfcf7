#include "engine/TSKRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <stdexcept>

#include "core/TextFormat.h"
#include "engine/CommandLine.h"
#include "engine/LongPath.h"
#include "engine/ToolOutputDecode.h"
#include "platform/RawSource.h"
#include "platform/UniqueFd.h"

extern char** environ;

namespace brivo {

namespace {

constexpr size_t kReadChunk = 4096;
constexpr int kPollMs = 50;

[[noreturn]] void ThrowErrno(int err, const std::string& what) { throw std::runtime_error(ErrnoText(err) + ": " + what); }

// Keeps our descriptors off 0..2, so that placing them there in the child is always a
// real dup2 (which clears close-on-exec) even when the program was started with a
// standard descriptor closed.
UniqueFd AboveStdio(int fd) {
    if (fd < 0 || fd > 2) return UniqueFd(fd);
    UniqueFd old(fd);
    const int moved = ::fcntl(fd, F_DUPFD_CLOEXEC, 3);
    if (moved < 0) ThrowErrno(errno, "fcntl");
    return UniqueFd(moved);
}

struct TPipe {
    UniqueFd Read, Write;
};

TPipe MakePipe() {
    int p[2];
    if (::pipe2(p, O_CLOEXEC) != 0) ThrowErrno(errno, "pipe");
    TPipe r;
    r.Read = UniqueFd(p[0]);
    r.Write = UniqueFd(p[1]);
    r.Read = AboveStdio(r.Read.release());
    r.Write = AboveStdio(r.Write.release());
    return r;
}

class TSpawnSetup {
public:
    TSpawnSetup() {
        posix_spawn_file_actions_init(&fa_);
        posix_spawnattr_init(&attr_);
    }
    ~TSpawnSetup() {
        posix_spawn_file_actions_destroy(&fa_);
        posix_spawnattr_destroy(&attr_);
    }
    TSpawnSetup(const TSpawnSetup&) = delete;
    TSpawnSetup& operator=(const TSpawnSetup&) = delete;
    posix_spawn_file_actions_t fa_;
    posix_spawnattr_t attr_;
};

pid_t Spawn(const std::vector<std::string>& argv, int outFd, int errFd) {
    TSpawnSetup s;
    int rc = posix_spawn_file_actions_addopen(&s.fa_, 0, "/dev/null", O_RDONLY, 0);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&s.fa_, outFd, 1);
    if (rc == 0) rc = posix_spawn_file_actions_adddup2(&s.fa_, errFd, 2);
    // The tool starts with default signal handling and nothing blocked, whatever the
    // front end's threads have set up (an ignored SIGPIPE would otherwise be inherited).
    sigset_t none, all;
    sigemptyset(&none);
    sigfillset(&all);
    sigdelset(&all, SIGKILL);
    sigdelset(&all, SIGSTOP);
    if (rc == 0) rc = posix_spawnattr_setsigmask(&s.attr_, &none);
    if (rc == 0) rc = posix_spawnattr_setsigdefault(&s.attr_, &all);
    if (rc == 0) rc = posix_spawnattr_setflags(&s.attr_, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
    if (rc != 0) ThrowErrno(rc, "posix_spawn setup");

    std::vector<char*> args;
    args.reserve(argv.size() + 1);
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    rc = posix_spawn(&pid, args[0], &s.fa_, &s.attr_, args.data(), environ);
    if (rc != 0) ThrowErrno(rc, argv[0]);
    return pid;
}

bool IsBlankOrControl(char c) { return static_cast<unsigned char>(c) <= 0x20 || c == 0x7F; }

std::string TrimBlankAndControl(const std::string& s) {
    size_t b = 0, e = s.size();
    while (b < e && IsBlankOrControl(s[b])) ++b;
    while (e > b && IsBlankOrControl(s[e - 1])) --e;
    return s.substr(b, e - b);
}

std::string DirectoryPart(const std::string& path) {
    const auto slash = path.rfind('/');
    if (slash == std::string::npos) return {};
    return slash == 0 ? "/" : path.substr(0, slash);
}

} // namespace

TTSKRunner::TChildEnd TTSKRunner::RunChild(const std::vector<std::string>& argv, UniqueFd outFd, UniqueFd errFd,
                                          int captureFd, std::string& captured) {
    const pid_t pid = Spawn(argv, outFd.get(), errFd.get());
    outFd.reset();
    errFd.reset();
    {
        std::lock_guard<std::mutex> g(procLock_);
        FProc = pid;
        stopped_ = false;
    }

    // FProc is cleared before the reap: until then the pid stays a zombie that no other
    // process can take over, so a Stop that still sees it signals only our own child.
    int status = 0;
    bool stopped = false;
    const auto reap = [&](bool kill) {
        if (kill) ::kill(pid, SIGKILL);
        {
            std::lock_guard<std::mutex> g(procLock_);
            FProc = 0;
            stopped = stopped_;
            stopped_ = false;
        }
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    };

    try {
        char chunk[kReadChunk];
        bool eof = false;
        for (;;) {
            if (!eof) {
                pollfd p{captureFd, POLLIN, 0};
                const int r = ::poll(&p, 1, kPollMs);
                if (r > 0) {
                    const ssize_t n = ::read(captureFd, chunk, sizeof chunk);
                    if (n > 0) {
                        if (captured.size() + static_cast<size_t>(n) > maxCapture_)
                            throw std::runtime_error(Format("The engine tool wrote more than %d MiB; it was stopped.",
                                                            {static_cast<long long>(maxCapture_ >> 20)}));
                        captured.append(chunk, static_cast<size_t>(n));
                        continue;  // more may be waiting: read again before any wait
                    }
                    if (n == 0 || (errno != EINTR && errno != EAGAIN)) eof = true;  // every writer has gone
                } else if (r < 0 && errno != EINTR) {
                    eof = true;
                }
            }
            // Nothing waiting: has the child ended? WNOWAIT leaves it unreaped (see reap).
            // After end of output there is nothing left to read, so wait for it outright.
            siginfo_t si{};
            const int rc = ::waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT | (eof ? 0 : WNOHANG));
            if (rc == 0 && si.si_pid == pid) break;
            if (rc < 0 && errno != EINTR) break;
        }
        // Drain what the child wrote just before it ended. Non-blocking: a descendant
        // that still holds the pipe open must not keep us here.
        ::fcntl(captureFd, F_SETFL, ::fcntl(captureFd, F_GETFL) | O_NONBLOCK);
        for (;;) {
            const ssize_t n = ::read(captureFd, chunk, sizeof chunk);
            if (n > 0) {
                if (captured.size() + static_cast<size_t>(n) > maxCapture_) break;
                captured.append(chunk, static_cast<size_t>(n));
            } else if (n < 0 && errno == EINTR) {
                continue;
            } else {
                break;
            }
        }
    } catch (...) {
        reap(true);
        throw;
    }
    reap(false);

    TChildEnd end;
    if (WIFEXITED(status)) {
        end.ExitCode = WEXITSTATUS(status);
    } else if (WIFSIGNALED(status)) {
        end.Stopped = stopped && WTERMSIG(status) == SIGKILL;
        end.ExitCode = end.Stopped ? 1 : 128 + WTERMSIG(status);
    } else {
        end.ExitCode = 1;
    }
    return end;
}

TRunTextResult TTSKRunner::RunCaptureTextEx(const std::string& commandLine) {
    const auto argv = SplitCommandLine(commandLine);
    TPipe pipe = MakePipe();
    UniqueFd errCopy(::fcntl(pipe.Write.get(), F_DUPFD_CLOEXEC, 3));
    if (!errCopy) ThrowErrno(errno, "fcntl");
    std::string bytes;
    const TChildEnd end = RunChild(argv, std::move(pipe.Write), std::move(errCopy), pipe.Read.get(), bytes);
    TRunTextResult r;
    r.Text = DecodeToolOutput(bytes);
    r.ExitCode = end.ExitCode;
    r.Stopped = end.Stopped;
    return r;
}

std::string TTSKRunner::RunCaptureText(const std::string& commandLine) { return RunCaptureTextEx(commandLine).Text; }

void TTSKRunner::RunCaptureBinaryToFile(const std::string& commandLine, const std::string& outFileName) {
    const auto argv = SplitCommandLine(commandLine);
    const std::string outPath = ToLongPath(outFileName);
    const std::string dir = DirectoryPart(outPath);
    if (!dir.empty()) ForceDirectoriesLong(dir);
    TPipe errPipe = MakePipe();

    // O_NOFOLLOW: a link planted where the output goes must not redirect the write.
    UniqueFd out(::open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644));
    if (!out) ThrowErrno(errno, outPath);
    out = AboveStdio(out.release());

    // From here on the file is ours: every failure, a tool that cannot start included,
    // takes it away again so that no empty or partial file looks like a recovered one.
    bool keep = false;
    struct TRemoveUnlessKept {
        const std::string& path;
        const bool& keep;
        ~TRemoveUnlessKept() {
            if (!keep) ::unlink(path.c_str());
        }
    } guard{outPath, keep};

    std::string errBytes;
    const TChildEnd end = RunChild(argv, std::move(out), std::move(errPipe.Write), errPipe.Read.get(), errBytes);
    const std::string errText = TrimBlankAndControl(DecodeToolOutput(errBytes));
    if (end.ExitCode == 0 && errText.empty()) {
        keep = true;
        return;
    }
    if (!errText.empty()) throw std::runtime_error(errText);
    throw std::runtime_error(Format("Process failed, exit code %d", {end.ExitCode}));
}

void TTSKRunner::Stop() {
    std::lock_guard<std::mutex> g(procLock_);
    if (FProc != 0) {
        ::kill(FProc, SIGKILL);
        stopped_ = true;
    }
}

} // namespace brivo
