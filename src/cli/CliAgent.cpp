#include "cli/CliAgent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <thread>
#include <vector>

#include "platform/UniqueFd.h"

extern char** environ;

namespace brivo::cli {

namespace {

// Long enough for the agent to reach polkit on a busy machine.
constexpr int kRegisterWaitMs = 10000;
// How long an agent told to go may take before it is killed.
constexpr auto kEndWait = std::chrono::seconds(2);

// Time for an agent that closed its notify descriptor by exiting to finish exiting.
constexpr auto kExitSettles = std::chrono::milliseconds(200);
// The child number the agent is told to close once polkit knows it.
constexpr int kNotifyFd = 3;

std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    const std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        size_t end = dirs.find(':', start);
        if (end == std::string::npos) end = dirs.size();
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty() && dir.front() == '/') {
            const std::string candidate = dir + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        start = end + 1;
    }
    return {};
}

bool Reap(pid_t pid, int options) {
    pid_t r;
    while ((r = ::waitpid(pid, nullptr, options)) < 0 && errno == EINTR) {
    }
    return r == pid || (r < 0 && errno == ECHILD);
}

// Ends the agent and reaps it: asked first (it puts the terminal's echo back), then killed.
void EndChild(pid_t pid) {
    ::kill(pid, SIGTERM);
    const auto deadline = std::chrono::steady_clock::now() + kEndWait;
    while (!Reap(pid, WNOHANG)) {
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid, SIGKILL);
            Reap(pid, 0);
            return;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

class TTerminalAgent final : public TPasswordAsker {
public:
    explicit TTerminalAgent(pid_t pid) : pid_(pid) {}
    ~TTerminalAgent() override { EndChild(pid_); }
    TTerminalAgent(const TTerminalAgent&) = delete;
    TTerminalAgent& operator=(const TTerminalAgent&) = delete;

private:
    pid_t pid_;
};

// Between fork and exec only system calls: the program may have other threads.
[[noreturn]] void ExecAgent(const char* program, char* const* argv, int notifyFd, pid_t parent) {
    struct sigaction dfl {};
    dfl.sa_handler = SIG_DFL;
    sigemptyset(&dfl.sa_mask);
    for (int s = 1; s < NSIG; ++s)
        if (s != SIGKILL && s != SIGSTOP) ::sigaction(s, &dfl, nullptr);
    // It stays in our process group, the terminal's foreground one: it reads the password
    // there, and a Ctrl-C reaches it too (it puts the terminal back before it goes). Should
    // we die without ending it, it goes with us instead of holding the terminal.
    bool ok = ::prctl(PR_SET_PDEATHSIG, SIGTERM) == 0 && ::getppid() == parent;
    if (ok && notifyFd != kNotifyFd) ok = ::dup2(notifyFd, kNotifyFd) == kNotifyFd;
    else if (ok) ok = ::fcntl(kNotifyFd, F_SETFD, 0) == 0;
    if (ok) {
        sigset_t none;
        sigemptyset(&none);
        ::sigprocmask(SIG_SETMASK, &none, nullptr);
        ::execve(program, argv, environ);
    }
    ::_exit(127);
}

} // namespace

std::unique_ptr<TPasswordAsker> StartTerminalAgent(std::string& whyNot) {
    if (::isatty(STDIN_FILENO) != 1) {
        whyNot = "standard input is not a terminal, so the program cannot ask for it itself";
        return nullptr;
    }
    const std::string program = FindOnPath("pkttyagent");
    if (program.empty()) {
        whyNot = "polkit's text agent pkttyagent, which would ask on this terminal, is not installed (package "
                 "polkitd)";
        return nullptr;
    }
    const std::string cannotStart = "polkit's text agent pkttyagent could not start";
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        whyNot = cannotStart;
        return nullptr;
    }
    UniqueFd readEnd(fds[0]), writeEnd(fds[1]);

    // For this very process: polkit turns to it for requests made over our bus connection.
    // Not as a fallback agent: polkitd consults one of those only for a subject in a login
    // session, so over ssh or on a console without one it would never be asked.
    std::vector<std::string> args = {program, "--process", std::to_string(::getpid()), "--notify-fd",
                                     std::to_string(kNotifyFd)};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    const pid_t parent = ::getpid();

    sigset_t all, old;
    sigfillset(&all);
    ::pthread_sigmask(SIG_SETMASK, &all, &old);
    const pid_t pid = ::fork();
    if (pid == 0) ExecAgent(program.c_str(), argv.data(), writeEnd.get(), parent);
    ::pthread_sigmask(SIG_SETMASK, &old, nullptr);
    if (pid < 0) {
        whyNot = cannotStart;
        return nullptr;
    }
    writeEnd.reset();

    // The agent closes its end once polkit has it, and so does one that gives up.
    pollfd p{readEnd.get(), POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(kRegisterWaitMs);
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            EndChild(pid);
            whyNot = "polkit's text agent pkttyagent did not get ready in time";
            return nullptr;
        }
        const int n = ::poll(&p, 1, static_cast<int>(left.count()));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        char c;
        const ssize_t got = ::read(readEnd.get(), &c, 1);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
    }
    // An agent that gave up closed its end by exiting, which it may not have finished yet:
    // one that registered stays.
    const auto settled = std::chrono::steady_clock::now() + kExitSettles;
    do {
        if (Reap(pid, WNOHANG)) {
            whyNot = cannotStart;
            return nullptr;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    } while (std::chrono::steady_clock::now() < settled);
    return std::make_unique<TTerminalAgent>(pid);
}

void AskForPasswordsOnTerminal() { SetPasswordAskerStarter(StartTerminalAgent); }

} // namespace brivo::cli
