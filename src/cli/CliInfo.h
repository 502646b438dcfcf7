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

// `info SOURCE [--format text|json]`: the file system found in the source's first sector.
// Text:  "Source: S\nFile system: NTFS\nSwitch: -f ntfs\n" (the switch "(none)" when there
//        is none).
// JSON:  {"source": S, "kind": 0|1|2, "name": "NTFS"|"FAT32"|"not recognised",
//         "fs_switch": " -f ntfs"|" -f fat"|""}
// A source that cannot be opened or read prints "brivo-recovery-cli: error: <reason>: <path>" on err and
// gives exit code 1; a device is opened here first so that, unlike the quiet detection
// of a scan, the user sees why (for example "Permission denied").
TCliCommand InfoCommand();
int RunInfo(const TParsedArgs& args, std::ostream& out, std::ostream& err);

} // namespace brivo::cli
