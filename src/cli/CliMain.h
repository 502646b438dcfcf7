#pragma once

namespace brivo::cli {

// Entry point of brivo-recovery-cli; returns the process exit code.
int CliMain(int argc, char** argv);

} // namespace brivo::cli
