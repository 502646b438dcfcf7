#include "cli/CliArgs.h"

#include <CLI/CLI.hpp>

#include <algorithm>
#include <memory>
#include <stdexcept>

namespace brivo::cli {

namespace {

bool IsHelp(const std::string& a) { return a == "--help" || a == "-h"; }

const TOptionSpec* FindOption(const TCommandSpec& def, const std::string& name) {
    for (const auto& o : def.Options)
        if (o.Name == name) return &o;
    return nullptr;
}

std::string Join(const std::vector<std::string>& items, const char* sep) {
    std::string s;
    for (size_t i = 0; i < items.size(); ++i) s += (i ? sep : "") + items[i];
    return s;
}

std::string OptionSynopsis(const TOptionSpec& o) {
    std::string s = "--" + o.Name;
    if (!o.ValueName.empty()) s += " " + (o.Choices.empty() ? o.ValueName : Join(o.Choices, "|"));
    return s;
}

// Two columns: the term padded to a common width, then its help.
void AppendRows(std::string& out, const std::vector<std::pair<std::string, std::string>>& rows) {
    size_t width = 0;
    for (const auto& r : rows) width = std::max(width, r.first.size());
    for (const auto& r : rows) {
        std::string line = "  " + r.first;
        if (!r.second.empty()) line += std::string(width - r.first.size() + 2, ' ') + r.second;
        out += line + "\n";
    }
}

} // namespace

std::string TParsedArgs::Value(const std::string& name) const {
    auto it = Given.find(name);
    if (it != Given.end() && !it->second.empty()) return it->second.back();
    auto d = Defaults.find(name);
    return d != Defaults.end() ? d->second : std::string();
}

std::vector<std::string> TParsedArgs::Values(const std::string& name) const {
    auto it = Given.find(name);
    return it != Given.end() ? it->second : std::vector<std::string>();
}

TArgParser::TArgParser(std::string program, std::string summary, std::string version)
    : program_(std::move(program)), summary_(std::move(summary)), version_(std::move(version)) {}

void TArgParser::AddCommand(TCommandSpec def) {
    if (Find(def.Name)) throw std::logic_error("command declared twice: " + def.Name);
    commands_.push_back(std::move(def));
}

const TCommandSpec* TArgParser::Find(const std::string& name) const {
    for (const auto& c : commands_)
        if (c.Name == name) return &c;
    return nullptr;
}

std::string TArgParser::UsageLine(const std::string& command) const {
    const TCommandSpec* def = Find(command);
    if (!def) return "usage: " + program_ + " COMMAND [OPTIONS] [ARGUMENTS]";
    std::string s = "usage: " + program_ + " " + def->Name;
    for (const auto& o : def->Options) s += " [" + OptionSynopsis(o) + "]" + (o.Repeatable ? "..." : "");
    for (const auto& p : def->Positionals) {
        std::string term = p.Name + (p.Variadic ? "..." : "");
        s += ' ';
        s += p.Required ? term : std::string("[").append(term).append("]");
    }
    return s;
}

std::string TArgParser::ProgramHelp() const {
    std::string out = UsageLine() + "\n\n" + summary_ + "\n\ncommands:\n";
    std::vector<std::pair<std::string, std::string>> rows;
    for (const auto& c : commands_) rows.emplace_back(c.Name, c.Summary);
    AppendRows(out, rows);
    out += "\nRun '" + program_ + " COMMAND --help' for the options of a command.\n";
    return out;
}

std::string TArgParser::CommandHelp(const std::string& command) const {
    const TCommandSpec* def = Find(command);
    if (!def) return ProgramHelp();
    std::string out = UsageLine(command) + "\n\n" + def->Summary + "\n";
    if (!def->Description.empty()) out += "\n" + def->Description + "\n";
    if (!def->Positionals.empty()) {
        out += "\narguments:\n";
        std::vector<std::pair<std::string, std::string>> rows;
        for (const auto& p : def->Positionals) rows.emplace_back(p.Name, p.Help);
        AppendRows(out, rows);
    }
    out += "\noptions:\n";
    std::vector<std::pair<std::string, std::string>> rows;
    for (const auto& o : def->Options) {
        std::string term = "--" + o.Name + (o.ValueName.empty() ? "" : " " + o.ValueName);
        std::string help = o.Help;
        if (!o.Choices.empty()) help += " (" + Join(o.Choices, ", ") + ")";
        if (!o.Default.empty()) help += " [default: " + o.Default + "]";
        if (o.Repeatable) help += " (may be repeated)";
        rows.emplace_back(term, help);
    }
    rows.emplace_back("-h, --help", "show this help");
    AppendRows(out, rows);
    return out;
}

TParseResult TArgParser::Fail(const std::string& message, const std::string& command) const {
    TParseResult r;
    r.Status = TParseStatus::Error;
    r.Text = program_ + ": error: " + message + "\n" + UsageLine(command) + "\n";
    return r;
}

namespace {

// Renders help from our own declarations, so the text users (and the manual page) see
// does not depend on the parser library's layout.
class THelpFormatter : public CLI::FormatterBase {
public:
    explicit THelpFormatter(std::function<std::string()> text) : text_(std::move(text)) {}
    std::string make_help(const CLI::App*, std::string, CLI::AppFormatMode) const override { return text_(); }

private:
    std::function<std::string()> text_;
};

// Names what the parser refused, in the words of the program's other messages: the
// first token that breaks a rule, walking the arguments the way the parser does.
std::string ParserMessage(const TCommandSpec& def, const std::vector<std::string>& args, const CLI::ParseError& e) {
    std::map<std::string, int> seen;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") break;
        if (a.size() < 2 || a[0] != '-') continue;
        if (a.rfind("--", 0) != 0) return "unknown option '" + a + "'";
        const size_t eq = a.find('=');
        const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        const TOptionSpec* opt = FindOption(def, name);
        if (!opt) return "unknown option '--" + name + "'";
        std::string value;
        if (opt->ValueName.empty()) {
            if (eq != std::string::npos) return "option '--" + name + "' takes no value";
        } else if (eq != std::string::npos) {
            value = a.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return "option '--" + name + "' needs a value";
        }
        if (!opt->Choices.empty() && std::find(opt->Choices.begin(), opt->Choices.end(), value) == opt->Choices.end())
            return "invalid value '" + value + "' for '--" + name + "' (choose from " + Join(opt->Choices, ", ") + ")";
        if (++seen[name] > 1 && !opt->Repeatable) return "option '--" + name + "' given more than once";
    }
    return e.what();
}

} // namespace

TParseResult TArgParser::Parse(const std::vector<std::string>& args) const {
    TParseResult r;
    if (args.empty()) return Fail("no command given", {});
    const std::string& first = args[0];
    if (IsHelp(first) || first == "help") {
        if (first == "help" && args.size() > 1 && !Find(args[1])) return Fail("unknown command '" + args[1] + "'", {});
        r.Status = TParseStatus::Help;
        r.Text = first == "help" && args.size() > 1 ? CommandHelp(args[1]) : ProgramHelp();
        return r;
    }
    const TCommandSpec* def = Find(first);
    if (!def && !(first == "--version" && !version_.empty())) {
        if (!first.empty() && first[0] == '-') return Fail("expected a command before '" + first + "'", {});
        return Fail("unknown command '" + first + "'", {});
    }

    CLI::App app(summary_, program_);
    app.formatter(std::make_shared<THelpFormatter>([this] { return ProgramHelp(); }));
    if (!version_.empty()) app.set_version_flag("--version", program_ + " " + version_);
    app.require_subcommand(0, 1);

    // Each command's options, to read back what was given.
    struct TBound {
        const TOptionSpec* Spec;
        CLI::Option* Option;
    };
    std::map<std::string, std::vector<TBound>> bound;
    std::map<std::string, std::vector<std::string>> positionals;
    for (const auto& c : commands_) {
        CLI::App* sub = app.add_subcommand(c.Name, c.Summary);
        sub->formatter(std::make_shared<THelpFormatter>([this, name = c.Name] { return CommandHelp(name); }));
        for (const auto& o : c.Options) {
            CLI::Option* opt = nullptr;
            if (o.ValueName.empty()) {
                opt = sub->add_flag("--" + o.Name, o.Help)->disable_flag_override();
            } else {
                opt = sub->add_option("--" + o.Name, o.Help)->type_name(o.ValueName)->expected(1);
                if (!o.Choices.empty()) opt->check(CLI::IsMember(o.Choices));
            }
            opt->multi_option_policy(o.Repeatable ? CLI::MultiOptionPolicy::TakeAll : CLI::MultiOptionPolicy::Throw);
            bound[c.Name].push_back({&o, opt});
        }
        // Positionals are counted below against the command's declaration, for its own messages.
        sub->add_option("ARGUMENTS", positionals[c.Name])->expected(0, -1);
    }

    // Everything after a "--" that ends the options is positional; it is kept from the
    // parser, which would read it against the program's own commands.
    std::vector<std::string> head = args, tail;
    for (size_t i = 1; def && i < args.size(); ++i) {
        const std::string& a = args[i];
        if (a == "--") {
            head.assign(args.begin(), args.begin() + static_cast<std::ptrdiff_t>(i));
            tail.assign(args.begin() + static_cast<std::ptrdiff_t>(i) + 1, args.end());
            break;
        }
        if (a.rfind("--", 0) != 0 || a.find('=') != std::string::npos) continue;
        const TOptionSpec* opt = FindOption(*def, a.substr(2));
        if (opt && !opt->ValueName.empty()) ++i;  // its value, whatever it looks like
    }
    try {
        std::vector<std::string> reversed(head.rbegin(), head.rend());  // CLI11 reads from the back
        app.parse(reversed);
    } catch (const CLI::CallForHelp&) {
        r.Status = TParseStatus::Help;
        r.Text = CommandHelp(def ? def->Name : std::string());
        return r;
    } catch (const CLI::CallForVersion& v) {
        r.Status = TParseStatus::Version;
        r.Text = v.what();
        r.Text += "\n";
        return r;
    } catch (const CLI::ParseError& e) {
        return def ? Fail(ParserMessage(*def, std::vector<std::string>(args.begin() + 1, args.end()), e), def->Name)
                   : Fail(e.what(), {});
    }
    if (!def) return Fail("expected a command before '" + first + "'", {});

    TParsedArgs& parsed = r.Args;
    parsed.Command = def->Name;
    for (const auto& o : def->Options)
        if (!o.Default.empty()) parsed.Defaults[o.Name] = o.Default;
    for (const auto& [spec, opt] : bound[def->Name]) {
        if (opt->count() == 0) continue;
        if (spec->ValueName.empty()) parsed.Given[spec->Name].assign(opt->count(), std::string());
        else parsed.Given[spec->Name] = opt->results();
    }
    parsed.Positionals = positionals[def->Name];
    parsed.Positionals.insert(parsed.Positionals.end(), tail.begin(), tail.end());

    size_t required = 0, max = 0;
    bool variadic = false;
    for (const auto& p : def->Positionals) {
        if (p.Required) ++required;
        ++max;
        variadic = variadic || p.Variadic;
    }
    // A saved scan names its own source.
    if (parsed.Positionals.size() < required && !parsed.Has("from-scan"))
        return Fail("missing " + def->Positionals[parsed.Positionals.size()].Name, def->Name);
    if (!variadic && parsed.Positionals.size() > max)
        return Fail("unexpected argument '" + parsed.Positionals[max] + "'", def->Name);
    r.Status = TParseStatus::Run;
    return r;
}

} // namespace brivo::cli
