#include <gtest/gtest.h>

#include "cli/CliArgs.h"
#include "cli/Json.h"
#include "cli/TextWidth.h"

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

    TArgParser versioned("prog", "Does things.", "1.2");
    versioned.AddCommand({"info", "Show a source.", "", {{"SOURCE", "the source"}}, {}});
    const TParseResult v = versioned.Parse({"--version"});
    EXPECT_EQ(v.Status, TParseStatus::Version);
    EXPECT_EQ(v.Text, "prog 1.2\n");
    EXPECT_EQ(p.Parse({"--version"}).Status, TParseStatus::Error);  // no version declared
}

TEST(CliJson, WritesTheProgramsLayoutAsValidUtf8Json) {
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
    for (const auto& c : cases) EXPECT_EQ(JsonText(TJson(c.in)), "\"" + c.out + "\"") << c.in;
    TJson o;
    o["s"] = "a\"";
    o["n"] = -3;
    o["b"] = true;
    o["o"] = TJson::array({1, TJson::object()});
    o["z"] = nullptr;
    EXPECT_EQ(JsonText(o), "{\"s\": \"a\\\"\", \"n\": -3, \"b\": true, \"o\": [1, {}], \"z\": null}");
    TJson big;
    big["u"] = uint64_t{18446744073709551615u};
    big["l"] = -1LL;
    EXPECT_EQ(JsonText(big), "{\"u\": 18446744073709551615, \"l\": -1}");
    EXPECT_EQ(JsonText(TJson::object()), "{}");
    EXPECT_EQ(JsonText(TJson::array()), "[]");
}

TEST(CliTextWidth, ColumnsATerminalGives) {
    struct Case { std::string text; size_t columns; };
    const Case cases[] = {
        {"", 0},
        {"report.docx", 11},
        {"caf\xC3\xA9", 4},                             // é: one column
        {"cafe\xCC\x81", 4},                            // e + combining acute
        {"\xE6\x96\x87\xE6\xA1\xA3.txt", 8},             // 文档.txt
        {"\xED\x95\x9C\xEA\xB8\x80", 4},                 // 한글
        {"\xEF\xBC\xA1", 2},                            // full-width A
        {"\xF0\x9F\x98\x80", 2},                        // an emoji
        {"bad\xFFname", 8},                             // a stray byte: one column
    };
    for (const auto& c : cases) EXPECT_EQ(DisplayColumns(c.text), c.columns) << c.text;
}

// A cell cut to its column never splits a character (what showed as "ЖЖ…\uFFFD").
TEST(CliTextWidth, CutsBetweenCharactersByColumns) {
    struct Case { std::string text; size_t columns; std::string fitted; };
    const std::string zh = "\xD0\x96";  // Ж, two bytes, one column
    const Case cases[] = {
        {"report.docx", 11, "report.docx"},
        {"report.docx", 7, "report\xE2\x80\xA6"},
        {zh + zh + zh + zh + zh, 3, zh + zh + "\xE2\x80\xA6"},
        {"\xE6\x96\x87\xE6\xA1\xA3\xE6\x96\x87", 4, "\xE6\x96\x87\xE2\x80\xA6"},  // 文档文: 档 would not fit whole
        {"cafe\xCC\x81s!", 5, "cafe\xCC\x81\xE2\x80\xA6"},                     // the mark stays with its e
        {"bad\xFFname", 5, "bad\xFF\xE2\x80\xA6"},
        {"abc", 0, ""},
    };
    for (const auto& c : cases) {
        const std::string got = FitColumns(c.text, c.columns);
        EXPECT_EQ(got, c.fitted) << c.text << " in " << c.columns;
        EXPECT_LE(DisplayColumns(got), c.columns);
    }
}

} // namespace
} // namespace brivo::cli
