#include "cli/CliMain.h"

int main(int argc, char** argv) { return brivo::cli::CliMain(argc, argv); }
