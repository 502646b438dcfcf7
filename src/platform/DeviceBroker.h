#pragma once
#include <functional>
#include <memory>
#include <string>

#include "platform/UniqueFd.h"

namespace brivo {

// A device the user may not open directly is opened by UDisks2 on the system bus: polkit
// asks the desktop's (or the terminal's) authentication agent for an administrator's
// password once, and the service hands back a read-only descriptor. Nothing of ours runs
// as root. A device handed out once is kept for the life of the process, so a scan that
// opens its source many times asks only once.
struct TBrokeredOpen {
    UniqueFd Fd;        // read-only; empty on failure
    std::string Error;  // on failure: what went wrong and what the user can do about it
};

// Asks UDisks2 for a read-only descriptor of the block device at path. Blocks until
// polkit has an answer (the user may be typing a password). With mayAsk false only a
// device handed out before is given again: nothing is asked.
TBrokeredOpen OpenDeviceThroughBroker(const std::string& path, bool mayAsk = true);

// An authentication agent a front end starts for its own process (the command line: polkit's
// text agent on its terminal). It asks while it lives; destroying it ends it.
class TPasswordAsker {
public:
    virtual ~TPasswordAsker() = default;
};

// Starts an agent, or returns null and says in whyNot why none could be started (e.g.
// "standard input is not a terminal").
using TPasswordAskerStarter = std::function<std::unique_ptr<TPasswordAsker>(std::string& whyNot)>;

// When the disk service says a password would let the user in but no authentication agent
// could ask for it (none runs for the session), the broker starts one through this and
// asks the service once more while it lives. Without one (the window), the desktop's agent
// is the only one that asks. Set it before any source is opened.
void SetPasswordAskerStarter(TPasswordAskerStarter starter);

// While one lives on a thread, openings on that thread never ask the broker (devices it
// handed out before are still used): merely describing a device must not put a password
// prompt in front of the user.
class TNoBrokerScope {
public:
    TNoBrokerScope();
    ~TNoBrokerScope();
    TNoBrokerScope(const TNoBrokerScope&) = delete;
    TNoBrokerScope& operator=(const TNoBrokerScope&) = delete;
    static bool Active();

private:
    bool previous_;
};

} // namespace brivo
