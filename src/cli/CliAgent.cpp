#include "cli/CliAgent.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/DeviceBroker.h"
#include "platform/UniqueFd.h"

extern char** environ;

namespace brivo::cli {

namespace {

// Long enough for the agent to register with polkit on a busy machine.
constexpr int kRegisterWaitMs = 5000;

std::string FindOnPath(const std::string& name) {
    const char* path = std::getenv("PATH");
    std::string dirs = path && *path ? path : "/usr/local/bin:/usr/bin:/bin";
    size_t start = 0;
    while (start <= dirs.size()) {
        const size_t end = std::min(dirs.find(':', start), dirs.size());
        const std::string dir = dirs.substr(start, end - start);
        if (!dir.empty()) {
            const std::string candidate = dir + "/" + name;
            if (::access(candidate.c_str(), X_OK) == 0) return candidate;
        }
        start = end + 1;
    }
    return {};
}

// The agent's process: ended and reaped when the program ends.
class TTextAgent {
public:
    ~TTextAgent() {
        if (pid_ <= 0) return;
        ::kill(pid_, SIGTERM);
        while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
        }
    }
    void Start() {
        if (pid_ > 0 || ::isatty(STDIN_FILENO) != 1) return;
        const std::string program = FindOnPath("pkttyagent");
        if (program.empty()) return;
        int fds[2];
        if (::pipe2(fds, O_CLOEXEC) != 0) return;
        UniqueFd readEnd(fds[0]), writeEnd(fds[1]);
        // The agent closes the notify descriptor once polkit knows it: until then a
        // request could find no one to ask.
        // dup2 onto another number clears close-on-exec in the child.
        const int childFd = writeEnd.get() == 3 ? 4 : 3;
        std::vector<std::string> args = {program, "--process", std::to_string(::getpid()), "--fallback",
                                         "--notify-fd", std::to_string(childFd)};
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, writeEnd.get(), childFd);
        pid_t child = 0;
        const int rc = ::posix_spawn(&child, program.c_str(), &actions, nullptr, argv.data(), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) return;
        pid_ = child;
        writeEnd.reset();
        pollfd p{readEnd.get(), POLLIN, 0};
        char c;
        while (::poll(&p, 1, kRegisterWaitMs) > 0 && ::read(readEnd.get(), &c, 1) > 0) {
        }
    }

private:
    pid_t pid_ = -1;
};

TTextAgent& Agent() {
    static TTextAgent agent;
    return agent;
}

} // namespace

void AskForDeviceAccessOnTerminal() {
    SetBeforeBrokerAsks([] { Agent().Start(); });
}

} // namespace brivo::cli
