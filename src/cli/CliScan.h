#pragma once
#include "cli/CliArgs.h"

namespace brivo::cli {

// "scan": lists the deleted files of a source.
TCliCommand ScanCommand();
// "recover": scans, selects results and writes them into an output folder.
TCliCommand RecoverCommand();

} // namespace brivo::cli
