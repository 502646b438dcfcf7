#pragma once
#include <memory>
#include <string>

#include "platform/DeviceBroker.h"

namespace brivo::cli {

// Where no desktop agent could ask for the password the disk service needs to open a disk,
// the program asks on its own terminal: polkit's text agent (pkttyagent) is started for this
// process for that one request, when standard input is a terminal. Call once, first thing.
void AskForPasswordsOnTerminal();

// Starts pkttyagent (looked up on PATH) for this process and returns once polkit knows it;
// null, with the reason in whyNot, when standard input is not a terminal or the agent
// cannot start. The agent is ended when the returned object goes.
std::unique_ptr<TPasswordAsker> StartTerminalAgent(std::string& whyNot);

} // namespace brivo::cli
