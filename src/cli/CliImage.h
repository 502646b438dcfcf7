#pragma once
#include <cstdint>
#include <ostream>
#include <string>

#include "cli/CliArgs.h"

namespace brivo::cli {

// What the image command is given, as plain values (whatever parses the command line).
struct TImageRequest {
    std::string Source;   // an image file or a device ("sdb" means /dev/sdb)
    std::string Out;      // the raw image to write
    std::string Map;      // the map file; empty: Out + ".map"
    uint32_t Volume = 0;  // 0: the whole source; N: its volume N only
};

// Copies the source (or one volume) into a raw image with a map file, going on from the
// map when it is already there. Progress on err when it is a terminal; the outcome on out.
// Exit codes: 0 everything copied, 1 the copy could not be made, 3 bad areas remain or
// Ctrl-C stopped it (run again with the same map to go on).
int RunImage(const TImageRequest& request, std::ostream& out, std::ostream& err);

// The command as the current parser declares it.
TCliCommand ImageCommand();

} // namespace brivo::cli
