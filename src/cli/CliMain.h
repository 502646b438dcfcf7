#pragma once
#include <ostream>
#include <string>
#include <vector>

namespace brivo::cli {

// Entry point of brivo-recovery-cli; returns the process exit code.
int CliMain(int argc, char** argv);

// Parses the arguments after the program name and runs the command they name, writing to
// out and err; returns the exit code (0 done, 1 failed, 2 wrong command line).
int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

} // namespace brivo::cli
