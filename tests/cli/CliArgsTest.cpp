#include <gtest/gtest.h>

#include "cli/CliArgs.h"
#include "cli/Json.h"

namespace brivo::cli {
namespace {

TArgParser TestParser() {
    TArgParser p("prog", "Does things.");
    p.AddCommand({"info", "Show a source.", "", {{"SOURCE", "the source"}},
                  {{"format", "FORMAT", "output format", {"text", "json"}, "text"}}});
    p.AddCommand({"scan", "Scan a source.", "",
                  {{"SOURCE", "the source"}, {"OUT", "output folder", false}},
                  {{"mask", "MASK", "file mask", {}, "", true}, {"verbose", "", "log lines", {}, "", false}}});
    return p;
}

TEST(CliArgs, AcceptedCommandLines) {
    struct Case {
        std::vector<std::string> argv;
        std::vector<std::string> positionals;
        std::string option;
        std::vector<std::string> values;  // of option
        std::string value;                // Value(option)
    };
    const std::vector<Case> cases = {
        {{"info", "x"}, {"x"}, "format", {}, "text"},  // the default
        {{"info", "--format", "json", "x"}, {"x"}, "format", {"json"}, "json"},
        {{"info", "x", "--format=json"}, {"x"}, "format", {"json"}, "json"},
        {{"info", "--", "--format"}, {"--format"}, "format", {}, "text"},
        {{"info", "-"}, {"-"}, "format", {}, "text"},
        {{"info", ""}, {""}, "format", {}, "text"},
        {{"scan", "--mask", "*.jpg", "img", "--mask=*.png"}, {"img"}, "mask", {"*.jpg", "*.png"}, "*.png"},
        {{"scan", "--mask", "-odd.jpg", "img", "out"}, {"img", "out"}, "mask", {"-odd.jpg"}, "-odd.jpg"},
        {{"scan", "img", "--verbose"}, {"img"}, "verbose", {""}, ""},
        {{"scan", "--mask=a=b", "img"}, {"img"}, "mask", {"a=b"}, "a=b"},
    };
    const TArgParser p = TestParser();
    for (const auto& c : cases) {
        const TParseResult r = p.Parse(c.argv);
        ASSERT_EQ(r.Status, TParseStatus::Run) << c.argv[1] << ": " << r.Text;
        EXPECT_EQ(r.Args.Command, c.argv[0]);
        EXPECT_EQ(r.Args.Positionals, c.positionals) << c.argv[1];
        EXPECT_EQ(r.Args.Values(c.option), c.values) << c.argv[1];
        EXPECT_EQ(r.Args.Has(c.option), !c.values.empty()) << c.argv[1];
        EXPECT_EQ(r.Args.Value(c.option), c.value) << c.argv[1];
    }
}

TEST(CliArgs, ErrorsNameTheProblemAndShowTheUsage) {
    struct Case { std::vector<std::string> argv; std::string message; std::string usage; };
    const std::string infoUsage = "usage: prog info [--format text|json] SOURCE";
    const std::string scanUsage = "usage: prog scan [--mask MASK]... [--verbose] SOURCE [OUT]";
    const std::string progUsage = "usage: prog COMMAND [OPTIONS] [ARGUMENTS]";
    const std::vector<Case> cases = {
        {{}, "no command given", progUsage},
        {{"nope"}, "unknown command 'nope'", progUsage},
        {{"--format", "json", "info"}, "expected a command before '--format'", progUsage},
        {{"help", "nope"}, "unknown command 'nope'", progUsage},
        {{"info"}, "missing SOURCE", infoUsage},
        {{"info", "a", "b"}, "unexpected argument 'b'", infoUsage},
        {{"info", "--bogus", "x"}, "unknown option '--bogus'", infoUsage},
        {{"info", "-x", "x"}, "unknown option '-x'", infoUsage},
        {{"info", "x", "--format"}, "option '--format' needs a value", infoUsage},
        {{"info", "x", "--format", "xml"}, "invalid value 'xml' for '--format' (choose from text, json)", infoUsage},
        {{"info", "x", "--format="}, "invalid value '' for '--format' (choose from text, json)", infoUsage},
        {{"info", "x", "--format=json", "--format", "json"}, "option '--format' given more than once", infoUsage},
        {{"scan", "img", "--verbose=yes"}, "option '--verbose' takes no value", scanUsage},
        {{"scan", "--mask", "*.jpg"}, "missing SOURCE", scanUsage},
    };
    const TArgParser p = TestParser();
    for (const auto& c : cases) {
        const TParseResult r = p.Parse(c.argv);
        EXPECT_EQ(r.Status, TParseStatus::Error) << c.message;
        EXPECT_EQ(r.Text, "prog: error: " + c.message + "\n" + c.usage + "\n");
    }
}

TEST(CliArgs, HelpForTheProgramAndEachCommand) {
    const TArgParser p = TestParser();
    for (const auto& argv : {std::vector<std::string>{"--help"}, {"-h"}, {"help"}}) {
        const TParseResult r = p.Parse(argv);
        ASSERT_EQ(r.Status, TParseStatus::Help);
        EXPECT_EQ(r.Text, p.ProgramHelp());
    }
    EXPECT_NE(p.ProgramHelp().find("  info  Show a source.\n  scan  Scan a source.\n"), std::string::npos);

    for (const auto& argv : {std::vector<std::string>{"info", "--help"}, {"info", "x", "-h"}, {"help", "info"}}) {
        const TParseResult r = p.Parse(argv);
        ASSERT_EQ(r.Status, TParseStatus::Help) << argv[1];
        EXPECT_EQ(r.Text, p.CommandHelp("info"));
    }
    const std::string scanHelp = p.CommandHelp("scan");
    EXPECT_EQ(scanHelp.rfind("usage: prog scan [--mask MASK]... [--verbose] SOURCE [OUT]\n", 0), 0u);
    EXPECT_NE(scanHelp.find("--mask MASK  file mask (may be repeated)\n"), std::string::npos);
    EXPECT_NE(p.CommandHelp("info").find("--format FORMAT  output format (text, json) [default: text]\n"),
              std::string::npos);
    EXPECT_THROW(TestParser().AddCommand({"info", "again", "", {}, {}}), std::logic_error);
}

TEST(CliJson, EscapesStringsIntoValidUtf8Json) {
    struct Case { std::string in; std::string out; };
    const Case cases[] = {
        {"plain /dev/sdb1", "plain /dev/sdb1"},
        {"a\"b\\c", "a\\\"b\\\\c"},
        {"\n\r\t\b\f", "\\n\\r\\t\\b\\f"},
        {std::string("\x00\x01\x1f", 3), "\\u0000\\u0001\\u001f"},
        {"\x7f", "\x7f"},
        {"caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80", "caf\xC3\xA9 \xE2\x82\xAC \xF0\x9F\x98\x80"},
        {"bad\xFFname", "bad\xEF\xBF\xBDname"},
        {"cut\xC3", "cut\xEF\xBF\xBD"},
        {"\xC0\xAF", "\xEF\xBF\xBD\xEF\xBF\xBD"},              // overlong "/"
        {"\xED\xA0\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // a surrogate
        {"\xF4\x90\x80\x80", "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD"},  // above U+10FFFF
    };
    for (const auto& c : cases) EXPECT_EQ(JsonEscape(c.in), c.out) << c.in;
    EXPECT_EQ(JsonString("x"), "\"x\"");
    EXPECT_EQ(TJsonObject().Add("s", "a\"").Add("n", -3).Add("b", true).AddRaw("o", "[1]").Text(),
              "{\"s\": \"a\\\"\", \"n\": -3, \"b\": true, \"o\": [1]}");
    EXPECT_EQ(TJsonObject().Add("u", uint64_t{18446744073709551615u}).Add("l", -1LL).Text(),
              "{\"u\": 18446744073709551615, \"l\": -1}");
    EXPECT_EQ(TJsonObject().Text(), "{}");
    EXPECT_EQ(JsonArray({JsonString("a"), "1"}), "[\"a\", 1]");
    EXPECT_EQ(JsonArray({}), "[]");
}

} // namespace
} // namespace brivo::cli
