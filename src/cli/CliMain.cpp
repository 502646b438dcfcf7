#include "cli/CliMain.h"

#include <signal.h>

#include <exception>
#include <iostream>
#include <optional>

#include "cli/CliAgent.h"
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
                                 "'" + std::string(kProgram) + " --version' prints the version.",
                      kVersionText);
    for (const auto& c : commands) parser.AddCommand(c.Definition);

    // "-v" is the one short option users expect; the parser knows long names only.
    std::vector<std::string> expanded = args;
    for (auto& a : expanded)
        if (a == "-v") a = "--verbose";
    const TParseResult parsed = parser.Parse(expanded);
    if (parsed.Status == TParseStatus::Help || parsed.Status == TParseStatus::Version) {
        out << parsed.Text;
        return kExitOk;
    }
    if (parsed.Status == TParseStatus::Error) {
        err << parsed.Text;
        return kExitUsage;
    }
    for (const auto& c : commands) {
        if (c.Definition.Name != parsed.Args.Command) continue;
        // CliMain opened the Stop window before parsing, so a Ctrl-C at any moment of a scan
        // or a recovery is its Stop and is never lost; a command without a Stop ends as
        // SIGINT ends any program.
        std::optional<TEndOnInterrupt> endOnInterrupt;
        if (c.Definition.Name == "info") {
            if (Interrupted()) return 128 + SIGINT;
            endOnInterrupt.emplace();
        }
        try {
            const int code = c.Run(parsed.Args, out, err);
            out.flush();
            return code;
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
    // Until the output is out (see RunCli): a late Ctrl-C must not kill a finished scan
    // before its output is written.
    const TStopOnInterrupt stopWindow;
    AskForPasswordsOnTerminal();
    const int code = RunCli(args, std::cout, std::cerr);
    std::cout.flush();
    return code;
}

} // namespace brivo::cli
