#pragma once
#include <functional>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace brivo::cli {

// Command-line parsing for brivo-recovery-cli: PROGRAM COMMAND [ARGS...].
//
// A command declares its options and positional arguments in a TCommandSpec; CLI11 checks
// argv against it (one subcommand per command) and we hand back a TParsedArgs, help text,
// or an error message. Help and error texts are ours, so they read the same whatever the
// library's own layout.
// Accepted forms, after the command name:
//   --name VALUE  and  --name=VALUE   an option that takes a value (a value may begin with
//                                     "-", so "--mask -x" gives the value "-x")
//   --name                            a flag (a flag given "=VALUE" is an error)
//   --help, -h                        the command's help (also "PROGRAM --help" and
//                                     "PROGRAM help [COMMAND]")
//   --                                ends the options; everything after is positional
//   -                                 a positional (conventionally standard input)
// Anything else beginning with "-" is an unknown option. An option not declared
// Repeatable may be given once; a Repeatable one keeps every value in order. Options and
// positionals may be mixed in any order.
//
// Typical use (see CliMain.cpp):
//   TCommandSpec def{"info", "Show the file system of a source.", "...", {{"SOURCE", "..."}},
//                     {{"format", "FORMAT", "output format", {"text", "json"}, "text"}}};
//   TArgParser parser("brivo-recovery-cli", "Finds and recovers deleted files.");
//   parser.AddCommand(def);
//   TParseResult r = parser.Parse(args);   // args without argv[0]
//   switch (r.Status) { case TParseStatus::Help: print r.Text, exit 0;
//                       case TParseStatus::Error: print r.Text (message + usage), exit 2;
//                       case TParseStatus::Run: r.Args.Value("format"), r.Args.Positionals ... }

struct TOptionSpec {
    std::string Name;                  // long name without dashes, e.g. "format"
    std::string ValueName;             // placeholder of its value in help ("FORMAT"); empty for a flag
    std::string Help;                  // one line
    std::vector<std::string> Choices;  // accepted values; empty accepts any
    std::string Default;               // what Value() gives when the option is absent
    bool Repeatable = false;           // may be given more than once
};

struct TPositionalSpec {
    std::string Name;  // placeholder in help, e.g. "SOURCE"
    std::string Help;  // one line
    bool Required = true;
    bool Variadic = false;  // takes all remaining positionals (only the last one)
};

struct TCommandSpec {
    std::string Name;         // e.g. "info"
    std::string Summary;      // one line for the program's help
    std::string Description;  // paragraph(s) for the command's help; may be empty
    std::vector<TPositionalSpec> Positionals;
    std::vector<TOptionSpec> Options;
};

struct TParsedArgs {
    std::string Command;
    std::vector<std::string> Positionals;
    // Every option given, by name, with its values in order (a flag holds one "" per use).
    std::map<std::string, std::vector<std::string>> Given;
    // Declared defaults, by name, for Value().
    std::map<std::string, std::string> Defaults;

    bool Has(const std::string& name) const { return Given.count(name) != 0; }
    // The last value given, else the declared default, else empty.
    std::string Value(const std::string& name) const;
    // Every value given, in order (empty when absent).
    std::vector<std::string> Values(const std::string& name) const;
};

enum class TParseStatus { Run, Help, Version, Error };

struct TParseResult {
    TParseStatus Status = TParseStatus::Error;
    TParsedArgs Args;  // for Run
    // Help: the full help text. Version: "PROGRAM VERSION\n". Error: "PROGRAM: error: MESSAGE\nusage: ...\n".
    std::string Text;
};

class TArgParser {
public:
    // A non-empty version makes "PROGRAM --version" print "PROGRAM VERSION".
    TArgParser(std::string program, std::string summary, std::string version = {});

    // Declares a command; its name must be unique.
    void AddCommand(TCommandSpec def);
    const std::vector<TCommandSpec>& Commands() const { return commands_; }

    // Parses the arguments after the program name.
    TParseResult Parse(const std::vector<std::string>& args) const;

    // "usage: PROGRAM COMMAND ..." (no command: the program's usage line).
    std::string UsageLine(const std::string& command = {}) const;
    std::string ProgramHelp() const;
    std::string CommandHelp(const std::string& command) const;

private:
    const TCommandSpec* Find(const std::string& name) const;
    TParseResult Fail(const std::string& message, const std::string& command) const;

    std::string program_;
    std::string summary_;
    std::string version_;
    std::vector<TCommandSpec> commands_;
};

// Exit codes of brivo-recovery-cli.
inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;  // the command ran and failed ("brivo-recovery-cli: error: ..." on stderr)
inline constexpr int kExitUsage = 2;    // the command line was wrong
inline constexpr int kExitSomeFailed = 3;  // recover: some of the chosen files could not be recovered
inline constexpr int kExitStopped = 3;     // Ctrl-C stopped the scan or the batch before its end

// A command of the program: what it accepts and what runs it. Run gets the parsed
// arguments and the two output streams and returns the exit code; it must not throw
// for expected failures (CliMain still turns a stray exception into "brivo-recovery-cli: error: ...", exit 1).
struct TCliCommand {
    TCommandSpec Definition;
    std::function<int(const TParsedArgs& args, std::ostream& out, std::ostream& err)> Run;
};

} // namespace brivo::cli
