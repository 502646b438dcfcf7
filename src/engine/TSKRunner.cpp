#include "engine/TSKRunner.h"

#include <fcntl.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <memory>
#include <stdexcept>

#include "core/TextFormat.h"
#include "platform/LongPath.h"
#include "engine/SignalCleanup.h"
#include "engine/ToolOutputDecode.h"
#include "platform/RawSource.h"
#include "platform/UniqueFd.h"

extern char** environ;

namespace brivo {

namespace {

constexpr size_t kReadChunk = 64 * 1024;
constexpr size_t kMaxErrorBytes = 64 * 1024;
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

// Everything the child does between vfork and exec. It shares our memory and runs on
// our stack, so only system calls are made here: no allocation, no locks, no return.
[[noreturn]] void ExecInChild(const char* path, char* const* argv, int inFd, int outFd, int errFd, int statusFd,
                              pid_t parent) {
    // The tool starts with default signal handling and nothing blocked, whatever the
    // front end has set up (an ignored SIGPIPE would otherwise be inherited).
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int s = 1; s < NSIG; ++s)
        if (s != SIGKILL && s != SIGSTOP) ::sigaction(s, &dfl, nullptr);
    int err = 0;
    // Out of the terminal's process group: Ctrl-C is the front end's Stop, which ends the
    // tool itself and tells a stopped copy from a failed one.
    ::setpgid(0, 0);
    // Ended by the kernel with the thread that started it, so a killed program leaves no
    // tool behind. If that thread is already gone the request came too late: give up.
    if (::prctl(PR_SET_PDEATHSIG, SIGKILL) != 0) err = errno;
    if (err == 0 && ::getppid() != parent) err = ECHILD;
    if (err == 0 && (::dup2(inFd, 0) < 0 || ::dup2(outFd, 1) < 0 || ::dup2(errFd, 2) < 0)) err = errno;
    if (err == 0) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(path, argv, environ);
        err = errno;
    }
    while (::write(statusFd, &err, sizeof err) < 0 && errno == EINTR) {
    }
    ::_exit(127);
}

// The argument vector, built in a frame of its own: no local of a growing vector may live
// in the frame that vfork returns to twice.
[[gnu::noinline]] std::vector<char*> MakeArgv(const std::string& program, const std::vector<std::string>& args) {
    std::vector<char*> argv;
    argv.reserve(args.size() + 2);
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    return argv;
}

// Starts the tool; returns its pid once it runs the tool's own code. Throws (with the
// reason exec gave) when it cannot.
pid_t StartChild(const std::string& program, const std::vector<std::string>& args, int outFd, int errFd) {
    // Everything the child needs exists before it does.
    const std::vector<char*> argv = MakeArgv(program, args);
    UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    if (!devNull) ThrowErrno(errno, "/dev/null");
    devNull = AboveStdio(devNull.release());
    TPipe status = MakePipe();  // close-on-exec: end of file means the exec succeeded
    const pid_t parent = ::getpid();

    // No handler of ours may run in the child while it shares our memory.
    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t pid = ::vfork();
    if (pid == 0)
        ExecInChild(argv[0], argv.data(), devNull.get(), outFd, errFd, status.Write.get(), parent);
    const int forkErr = errno;
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) ThrowErrno(forkErr, "vfork");

    status.Write.reset();
    int childErr = 0;
    ssize_t n;
    while ((n = ::read(status.Read.get(), &childErr, sizeof childErr)) < 0 && errno == EINTR) {
    }
    if (n > 0) {
        while (::waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        ThrowErrno(n == sizeof childErr ? childErr : EIO, program);
    }
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

// Keeps the first kMaxErrorBytes of a tool's error output; a tool that keeps complaining
// is not allowed to fill memory with it.
auto KeepErrorBytes(std::string& into) {
    return [&into](const char* p, size_t n) {
        if (into.size() < kMaxErrorBytes) into.append(p, std::min(n, kMaxErrorBytes - into.size()));
    };
}

} // namespace

TChildEnd TTSKRunner::RunChild(const std::string& program, const TArgs& args, UniqueFd outFd, UniqueFd errFd,
                               std::span<const TCapture> captures) {
    const pid_t pid = StartChild(program, args, outFd.get(), errFd.get());
    TrackEngineChild(pid);
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
        UntrackEngineChild(pid);
        while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
        }
    };

    try {
        const auto chunk = std::make_unique<char[]>(kReadChunk);
        std::vector<bool> open(captures.size(), true);
        std::vector<pollfd> fds;
        for (;;) {
            fds.clear();
            std::vector<size_t> which;
            for (size_t i = 0; i < captures.size(); ++i)
                if (open[i]) {
                    fds.push_back(pollfd{captures[i].Fd, POLLIN, 0});
                    which.push_back(i);
                }
            bool gotData = false;
            if (!fds.empty()) {
                const int r = ::poll(fds.data(), fds.size(), kPollMs);
                if (r < 0 && errno != EINTR) {
                    open.assign(open.size(), false);
                } else if (r > 0) {
                    for (size_t k = 0; k < fds.size(); ++k) {
                        if (fds[k].revents == 0) continue;
                        const ssize_t n = ::read(fds[k].fd, chunk.get(), kReadChunk);
                        if (n > 0) {
                            captures[which[k]].Take(chunk.get(), static_cast<size_t>(n));
                            gotData = true;
                        } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
                            open[which[k]] = false;  // every writer has gone
                        }
                    }
                }
            }
            if (gotData) continue;  // more may be waiting: read again before any wait
            // Nothing waiting: has the child ended? WNOWAIT leaves it unreaped (see reap).
            // After end of all output there is nothing left to read, so wait for it outright.
            bool anyOpen = false;
            for (bool o : open) anyOpen = anyOpen || o;
            siginfo_t si{};
            const int rc = ::waitid(P_PID, static_cast<id_t>(pid), &si, WEXITED | WNOWAIT | (anyOpen ? WNOHANG : 0));
            if (rc == 0 && si.si_pid == pid) break;
            if (rc < 0 && errno != EINTR) break;
        }
        // Drain what the child wrote just before it ended. Non-blocking: a descendant
        // that still holds a pipe open must not keep us here.
        for (const TCapture& c : captures) {
            ::fcntl(c.Fd, F_SETFL, ::fcntl(c.Fd, F_GETFL) | O_NONBLOCK);
            for (;;) {
                const ssize_t n = ::read(c.Fd, chunk.get(), kReadChunk);
                if (n > 0)
                    c.Take(chunk.get(), static_cast<size_t>(n));
                else if (!(n < 0 && errno == EINTR))
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

TRunTextResult TTSKRunner::RunCaptureTextEx(const std::string& program, const TArgs& args) {
    TPipe pipe = MakePipe();
    UniqueFd errCopy(::fcntl(pipe.Write.get(), F_DUPFD_CLOEXEC, 3));
    if (!errCopy) ThrowErrno(errno, "fcntl");
    std::string bytes;
    const TCapture capture{pipe.Read.get(), [&](const char* p, size_t n) {
                               if (bytes.size() + n > maxCapture_)
                                   throw std::runtime_error(
                                       Format("The engine tool wrote more than %d MiB; it was stopped.",
                                              {static_cast<long long>(maxCapture_ >> 20)}));
                               bytes.append(p, n);
                           }};
    const TChildEnd end = RunChild(program, args, std::move(pipe.Write), std::move(errCopy), {&capture, 1});
    TRunTextResult r;
    r.Text = DecodeToolOutput(bytes);
    r.ExitCode = end.ExitCode;
    r.Stopped = end.Stopped;
    return r;
}

std::string TTSKRunner::RunCaptureText(const std::string& program, const TArgs& args) {
    return RunCaptureTextEx(program, args).Text;
}

std::string TTSKRunner::FailureMessage(const TChildEnd& end) {
    if (!end.ErrorText.empty()) return end.ErrorText;
    if (end.ExitCode != 0) return Format("Process failed, exit code %d", {end.ExitCode});
    return {};
}

void TTSKRunner::RunCaptureBinaryToFile(const std::string& program, const TArgs& args,
                                        const std::string& outFileName) {
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
    const TCapture capture{errPipe.Read.get(), KeepErrorBytes(errBytes)};
    TChildEnd end = RunChild(program, args, std::move(out), std::move(errPipe.Write), {&capture, 1});
    end.ErrorText = TrimBlankAndControl(DecodeToolOutput(errBytes));
    const std::string failure = FailureMessage(end);
    if (!failure.empty()) throw std::runtime_error(failure);
    keep = true;
}

TChildEnd TTSKRunner::RunStreaming(const std::string& program, const TArgs& args,
                                   const std::function<void(std::span<const uint8_t>)>& onChunk) {
    TPipe outPipe = MakePipe();
    TPipe errPipe = MakePipe();
    std::string errBytes;
    const TCapture captures[] = {
        {outPipe.Read.get(),
         [&](const char* p, size_t n) { onChunk(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(p), n)); }},
        {errPipe.Read.get(), KeepErrorBytes(errBytes)},
    };
    TChildEnd end = RunChild(program, args, std::move(outPipe.Write), std::move(errPipe.Write), captures);
    end.ErrorText = TrimBlankAndControl(DecodeToolOutput(errBytes));
    return end;
}

void TTSKRunner::Stop() {
    std::lock_guard<std::mutex> g(procLock_);
    if (FProc != 0) {
        ::kill(FProc, SIGKILL);
        stopped_ = true;
    }
}

} // namespace brivo
