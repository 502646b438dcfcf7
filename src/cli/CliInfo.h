#pragma once
#include <ostream>
#include <string>

#include "cli/CliArgs.h"

namespace brivo::cli {

// The path to open for a SOURCE argument:
//   "/dev/..."                       as typed (a device)
//   an existing path                 as typed (an image file)
//   a bare name, /dev/NAME exists    "/dev/NAME" ("sdb1" gives "/dev/sdb1")
//   anything else                    as typed (its open then reports what is wrong)
std::string ResolveSourceArgument(const std::string& text);

// `info SOURCE [--format text|json]`: the source's container, partition table and volumes,
// with the file system of each (JSON: {"source", "container", "size", "partition_table",
// "sector_size", "volumes": [{"index", ...}], "problems"}).
// A source that cannot be opened or read prints "brivo-recovery-cli: error: <reason>: <path>" on err and
// gives exit code 1; a device is opened here first so that, unlike the quiet detection
// of a scan, the user sees why (for example "Permission denied").
TCliCommand InfoCommand();
int RunInfo(const TParsedArgs& args, std::ostream& out, std::ostream& err);

} // namespace brivo::cli
