#include <gtest/gtest.h>

#include <fcntl.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>

#include "TestSupport.h"
#include "cli/CliAgent.h"
#include "platform/UniqueFd.h"

namespace brivo::cli {
namespace {

// Standard input taken from fd for the life of the object.
class TStdinFrom {
public:
    explicit TStdinFrom(int fd) : saved_(::dup(STDIN_FILENO)) { ::dup2(fd, STDIN_FILENO); }
    ~TStdinFrom() { ::dup2(saved_.get(), STDIN_FILENO); }

private:
    UniqueFd saved_;
};

class TPathIs {
public:
    explicit TPathIs(const std::string& path) {
        if (const char* v = std::getenv("PATH")) saved_ = v;
        ::setenv("PATH", path.c_str(), 1);
    }
    ~TPathIs() { ::setenv("PATH", saved_.c_str(), 1); }

private:
    std::string saved_;
};

// The other end of a new pseudo-terminal, a terminal as far as the program can tell.
UniqueFd TerminalEnd(UniqueFd& master) {
    master = UniqueFd(::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (!master || ::grantpt(master.get()) != 0 || ::unlockpt(master.get()) != 0) return {};
    const char* name = ::ptsname(master.get());
    return name ? UniqueFd(::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC)) : UniqueFd();
}

// Where no agent can be started on the terminal the reason is given for the message, and an
// agent that gives up at once is neither waited for nor left behind as a zombie.
TEST(CliAgent, SaysWhyNoAgentCouldAsk) {
    {
        UniqueFd devNull(::open("/dev/null", O_RDONLY | O_CLOEXEC));
        const TStdinFrom notATerminal(devNull.get());
        std::string why;
        EXPECT_FALSE(StartTerminalAgent(why));
        EXPECT_NE(why.find("standard input is not a terminal"), std::string::npos) << why;
    }

    UniqueFd master;
    UniqueFd terminal = TerminalEnd(master);
    ASSERT_TRUE(terminal) << "no pseudo-terminal";
    const TStdinFrom onTerminal(terminal.get());
    struct {
        const char* agent;  // what answers to the name pkttyagent; none when null
        const char* why;
    } const cases[] = {
        {nullptr, "is not installed (package polkitd)"},
        {"/bin/false", "pkttyagent could not start"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.agent ? c.agent : "no agent");
        test::TempDir dir;
        if (c.agent) {
            ASSERT_EQ(::symlink(c.agent, (dir / "pkttyagent").c_str()), 0);
        }
        const TPathIs path(dir.path());
        std::string why;
        const auto start = std::chrono::steady_clock::now();
        EXPECT_FALSE(StartTerminalAgent(why));
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_NE(why.find(c.why), std::string::npos) << why;
        EXPECT_LE(::waitpid(-1, nullptr, WNOHANG), 0) << "an ended agent was left unreaped";
    }
}

} // namespace
} // namespace brivo::cli
