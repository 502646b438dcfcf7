#include "cli/CliMain.h"

#include <cstdio>

namespace brivo::cli {

int CliMain(int, char**) {
    std::fprintf(stderr, "usage: brivo-recovery-cli info SOURCE\n");
    return 2;
}

} // namespace brivo::cli
