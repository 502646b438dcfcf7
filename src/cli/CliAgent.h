#pragma once

namespace brivo::cli {

// Before the disk service is first asked to open a disk for this run, starts polkit's text
// agent (pkttyagent) for this process when standard input is a terminal, so the
// administrator's password is asked for right there; a desktop's agent already running
// keeps the job. Without a terminal nothing is started and a refusal says what to do.
// The agent ends with the program.
void AskForDeviceAccessOnTerminal();

} // namespace brivo::cli
