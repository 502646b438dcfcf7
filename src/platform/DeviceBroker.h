#pragma once
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
