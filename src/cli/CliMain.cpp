#include "cli/CliMain.h"

#include <exception>
#include <iostream>

#include "cli/CliArgs.h"
#include "cli/CliImage.h"
#include "cli/CliInfo.h"
#include "cli/CliScan.h"
#include "core/Version.h"
#include "cli/CliSignals.h"

namespace brivo::cli {

namespace {

constexpr const char* kProgram = "brivo-recovery-cli";

// Every command of the program, in the order its help lists them.
std::vector<TCliCommand> AllCommands() { return {ScanCommand(), RecoverCommand(), InfoCommand(), ImageCommand()}; }

} // namespace

int RunCli(const std::vector<std::string>& args, std::ostream& out, std::ostream& err) {
    const std::vector<TCliCommand> commands = AllCommands();
    TArgParser parser(kProgram, "Finds deleted files on a volume or disk image and recovers them.\n"
                                 "'" + std::string(kProgram) + " --version' prints the version.");
    for (const auto& c : commands) parser.AddCommand(c.Definition);

    // "-v" is the one short option users expect; the parser knows long names only.
    std::vector<std::string> expanded = args;
    for (auto& a : expanded)
        if (a == "-v") a = "--verbose";
    if (expanded.size() == 1 && expanded[0] == "--version") {
        out << kProgram << " " << kVersionText << "\n";
        return kExitOk;
    }
    const TParseResult parsed = parser.Parse(expanded);
    if (parsed.Status == TParseStatus::Help) {
        out << parsed.Text;
        return kExitOk;
    }
    if (parsed.Status == TParseStatus::Error) {
        err << parsed.Text;
        return kExitUsage;
    }
    for (const auto& c : commands) {
        if (c.Definition.Name != parsed.Args.Command) continue;
        try {
            return c.Run(parsed.Args, out, err);
        } catch (const std::exception& e) {
            err << "brivo-recovery-cli: error: " << e.what() << "\n";
            return kExitFailure;
        }
    }
    return kExitUsage;  // unreachable: the parser knows only these commands
}

int CliMain(int argc, char** argv) {
    std::vector<std::string> args;
    for (int i = 1; i < argc; ++i) args.emplace_back(argv[i]);
    const TEndSignalGuard signals;
    const int code = RunCli(args, std::cout, std::cerr);
    std::cout.flush();
    return code;
}

} // namespace brivo::cli
