#include "cli/CliArgs.h"

#include <algorithm>
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

TArgParser::TArgParser(std::string program, std::string summary)
    : program_(std::move(program)), summary_(std::move(summary)) {}

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
    if (!def) {
        if (!first.empty() && first[0] == '-') return Fail("expected a command before '" + first + "'", {});
        return Fail("unknown command '" + first + "'", {});
    }
    return ParseCommand(*def, std::vector<std::string>(args.begin() + 1, args.end()));
}

TParseResult TArgParser::ParseCommand(const TCommandSpec& def, const std::vector<std::string>& args) const {
    TParseResult r;
    TParsedArgs& parsed = r.Args;
    parsed.Command = def.Name;
    for (const auto& o : def.Options)
        if (!o.Default.empty()) parsed.Defaults[o.Name] = o.Default;

    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        if (optionsEnded || a == "-" || a.empty() || a[0] != '-') {
            parsed.Positionals.push_back(a);
            continue;
        }
        if (a == "--") {
            optionsEnded = true;
            continue;
        }
        if (IsHelp(a)) {
            r.Status = TParseStatus::Help;
            r.Text = CommandHelp(def.Name);
            return r;
        }
        if (a.rfind("--", 0) != 0) return Fail("unknown option '" + a + "'", def.Name);

        const size_t eq = a.find('=');
        const std::string name = a.substr(2, eq == std::string::npos ? std::string::npos : eq - 2);
        const TOptionSpec* opt = FindOption(def, name);
        if (!opt) return Fail("unknown option '--" + name + "'", def.Name);
        std::string value;
        if (opt->ValueName.empty()) {
            if (eq != std::string::npos) return Fail("option '--" + name + "' takes no value", def.Name);
        } else if (eq != std::string::npos) {
            value = a.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return Fail("option '--" + name + "' needs a value", def.Name);
        }
        if (!opt->Choices.empty() && std::find(opt->Choices.begin(), opt->Choices.end(), value) == opt->Choices.end())
            return Fail("invalid value '" + value + "' for '--" + name + "' (choose from " + Join(opt->Choices, ", ") + ")",
                        def.Name);
        auto& values = parsed.Given[name];
        if (!values.empty() && !opt->Repeatable) return Fail("option '--" + name + "' given more than once", def.Name);
        values.push_back(value);
    }

    size_t required = 0, max = 0;
    bool variadic = false;
    for (const auto& p : def.Positionals) {
        if (p.Required) ++required;
        ++max;
        variadic = variadic || p.Variadic;
    }
    if (parsed.Positionals.size() < required) {
        return Fail("missing " + def.Positionals[parsed.Positionals.size()].Name, def.Name);
    }
    if (!variadic && parsed.Positionals.size() > max)
        return Fail("unexpected argument '" + parsed.Positionals[max] + "'", def.Name);
    r.Status = TParseStatus::Run;
    return r;
}

} // namespace brivo::cli
