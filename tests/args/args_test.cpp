// The argument layer as a program's user meets it: what one command line sets, prints and
// returns. Every case builds the same small command afresh.
#include "args/args.h"

#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <vector>

namespace {

using kestrune::args::Decimal;
using kestrune::args::EXIT_USAGE;
using kestrune::args::Mistake;
using kestrune::args::Number;
using kestrune::args::PROCEED;

enum class Format { Text, Csv };

struct Outcome {
    int status = 0;
    std::string out, err;
    std::string port = "COM1", image;
    std::vector<std::string> naks;
    unsigned module = 0;
    double timeout = 20;
    bool quiet = false;
    std::vector<std::string> order; // what the ordered actions saw
    Format format = Format::Text;
    std::string hardware, oui, replay;
};

Outcome run(const std::vector<std::string>& words) {
    Outcome o;
    std::ostringstream out, err;
    CLI::App app("Test command.", "t serve");
    kestrune::args::setUp(app, "9.9.9");
    CLI::Option* port = app.add_option("--port", o.port, "serial port")->type_name("DEVICE");
    app.add_option("--format", o.format, "text or csv")
        ->type_name("FORMAT")
        ->transform(kestrune::args::Word<Format>({{"text", Format::Text}, {"csv", Format::Csv}}));
    CLI::Option* hardware = app.add_option("--hardware", o.hardware, "model");
    app.add_option("--oui", o.oui, "maker")->needs(hardware);
    app.add_option("--replay", o.replay, "instead of a port")->excludes(port);
    app.add_option("--nak", o.naks, "refuse a frame")->type_name("N[:K]");
    app.add_option("-m,--module", o.module, "module")
        ->type_name("ID")
        ->transform(Number(0, 0xFFFF));
    app.add_option("--timeout", o.timeout, "seconds")
        ->type_name("S")
        ->transform(Decimal(0.001, 3600));
    app.add_flag("-q,--quiet", o.quiet, "quiet");
    app.add_option_function<std::string>(
           "--note",
           [&o](const std::string& v) {
               o.order.push_back("note " + v);
               if (v == "bad") {
                   throw Mistake("--note refuses bad");
               }
           },
           "ordered")
        ->type_name("TEXT")
        ->trigger_on_parse();
    app.add_option_function<uint64_t>(
           "--seed", [&o](const uint64_t& v) { o.order.push_back("seed " + std::to_string(v)); },
           "ordered number")
        ->type_name("N")
        ->transform(Number(1, 9))
        ->trigger_on_parse();
    app.add_option("IMAGE", o.image, "the image")->required();
    o.status = kestrune::args::parse(app, words, out, err);
    o.out = out.str();
    o.err = err.str();
    return o;
}

const char* const POINTER = "Run 't serve --help' for usage.\n";

TEST(Args, MistakesGetOneLineAndThePointerToHelp) {
    struct Case {
        std::vector<std::string> words;
        const char* message;
    };
    const Case cases[] = {
        {{"img", "--port"}, "missing value after --port"},
        {{"--port", "--quiet", "img"}, "missing value after --port"},
        {{"--port", "--", "img"}, "missing value after --port"},
        {{"--port", "-m", "img"}, "missing value after --port"},
        {{"-m"}, "missing value after -m"},
        {{"--bogus", "img"}, "unknown option --bogus"},
        {{"img", "--bogus=3"}, "unknown option --bogus"},
        {{"-x", "img"}, "unknown option -x"},
        // An unknown option explains the rest: its value is not taken for a second IMAGE.
        {{"--bogus", "value", "img"}, "unknown option --bogus"},
        {{"img", "two"}, "unexpected argument two"},
        {{"--", "img", "-two"}, "unexpected argument -two"},
        {{}, "missing IMAGE"},
        {{"--quiet"}, "missing IMAGE"},
        {{"--module", "65536", "img"}, "--module needs a number from 0 to 65535, not 65536"},
        {{"-m", "-1", "img"}, "--module needs a number from 0 to 65535, not -1"},
        {{"--module=", "img"}, "--module needs a number from 0 to 65535, not an empty value"},
        {{"--module", "1e3", "img"}, "--module needs a number from 0 to 65535, not 1e3"},
        {{"--module", "0x", "img"}, "--module needs a number from 0 to 65535, not 0x"},
        {{"--module", " 1", "img"}, "--module needs a number from 0 to 65535, not  1"},
        {{"--seed", "0", "img"}, "--seed needs a number from 1 to 9, not 0"},
        {{"--timeout", "0", "img"}, "--timeout needs a number from 0.001 to 3600, not 0"},
        {{"--timeout", "inf", "img"}, "--timeout needs a number from 0.001 to 3600, not inf"},
        {{"--timeout", "0x10", "img"}, "--timeout needs a number from 0.001 to 3600, not 0x10"},
        {{"--note", "bad", "img"}, "--note refuses bad"},
        {{"--format", "xml", "img"}, "--format needs text or csv, not xml"},
        {{"--format", "1", "img"}, "--format needs text or csv, not 1"},
        {{"--format=", "img"}, "--format needs text or csv, not an empty value"},
        {{"--oui", "00-A0-B1", "img"}, "--oui needs --hardware"},
        {{"--replay", "c.pcap", "--port", "p", "img"}, "give --port or --replay, not both"},
        // The first mistake on the line is the one reported.
        {{"--module", "x", "--seed", "0", "img"}, "--module needs a number from 0 to 65535, not x"},
        // --version and --help take no value, and a mistake beside them is still reported.
        {{"--version", "img", "2"}, "unexpected argument 2"},
        {{"--help", "--bogus"}, "unknown option --bogus"},
    };
    for (const Case& c : cases) {
        const Outcome o = run(c.words);
        std::string line;
        for (const std::string& w : c.words) {
            line += " '" + w + "'";
        }
        EXPECT_EQ(o.status, EXIT_USAGE) << line;
        EXPECT_EQ(o.err, std::string("t serve: ") + c.message + "\n" + POINTER) << line;
        EXPECT_EQ(o.out, "") << line;
    }
}

TEST(Args, ValuesAsWritten) {
    struct Case {
        std::vector<std::string> words;
        std::string port, image;
        unsigned module;
        bool quiet;
    };
    const Case cases[] = {
        {{"img"}, "COM1", "img", 0, false},
        {{"--port", "/dev/ttyUSB0", "img"}, "/dev/ttyUSB0", "img", 0, false},
        {{"img", "--port=/dev/ttyS1"}, "/dev/ttyS1", "img", 0, false},
        {{"--port", "a", "--port", "b", "img"}, "b", "img", 0, false}, // the last one counts
        {{"--port=", "img"}, "", "img", 0, false},
        {{"-q", "img"}, "COM1", "img", 0, true},
        {{"--", "-img"}, "COM1", "-img", 0, false},
        {{"/abs/img.dl", "--port", "/dev/ttyS0"}, "/dev/ttyS0", "/abs/img.dl", 0, false},
        {{"--quiet", "--", "--port"}, "COM1", "--port", 0, true},
        {{"--module", "010", "img"}, "COM1", "img", 10, false}, // never octal
        {{"-m", "08", "img"}, "COM1", "img", 8, false},
        {{"-m0x1F", "img"}, "COM1", "img", 31, false},
        {{"--module=0XfF", "img"}, "COM1", "img", 255, false},
        {{"--module", "65535", "img"}, "COM1", "img", 65535, false},
    };
    for (const Case& c : cases) {
        const Outcome o = run(c.words);
        EXPECT_EQ(o.status, PROCEED) << c.words.front() << ": " << o.err;
        EXPECT_EQ(o.port, c.port) << c.words.front();
        EXPECT_EQ(o.image, c.image) << c.words.front();
        EXPECT_EQ(o.module, c.module) << c.words.front();
        EXPECT_EQ(o.quiet, c.quiet) << c.words.front();
    }
}

TEST(Args, RepeatedAndOrderedOptionsKeepEveryUseInOrder) {
    const Outcome o = run({"--nak", "1", "--note", "a", "--seed", "2", "img", "--nak=2:3",
                           "--note=b", "--seed", "0x9"});
    ASSERT_EQ(o.status, PROCEED) << o.err;
    EXPECT_EQ(o.naks, (std::vector<std::string>{"1", "2:3"}));
    EXPECT_EQ(o.order, (std::vector<std::string>{"note a", "seed 2", "note b", "seed 9"}));
    const Outcome t = run({"--timeout", "2.5", "img"});
    EXPECT_EQ(t.timeout, 2.5);
    const Outcome f = run({"--format", "csv", "--hardware", "1", "--oui", "2", "img"});
    ASSERT_EQ(f.status, PROCEED) << f.err;
    EXPECT_EQ(f.format, Format::Csv);
    EXPECT_EQ(f.oui, "2");
}

TEST(Args, HelpAndVersion) {
    const Outcome version = run({"--version"});
    EXPECT_EQ(version.status, 0);
    EXPECT_EQ(version.out, "t serve 9.9.9\n");
    EXPECT_EQ(version.err, "");

    for (const char* flag : {"--help", "-h"}) {
        const Outcome help = run({"img", flag});
        EXPECT_EQ(help.status, 0);
        EXPECT_EQ(help.err, "");
        EXPECT_EQ(help.out.rfind("Test command.\n\nUsage: t serve [OPTIONS] IMAGE\n", 0), 0u)
            << help.out;
        // Every option, with its value's name, once.
        for (const char* line :
             {"\n  -h, --help ", "\n  --version ", "\n  --port DEVICE ", "\n  --nak N[:K] ",
              "\n  -m, --module ID ", "\n  -q, --quiet ", "\nArguments:\n  IMAGE "}) {
            EXPECT_NE(help.out.find(line), std::string::npos) << line << "\n" << help.out;
        }
    }
}

TEST(Args, ParseNumber) {
    struct Case {
        const char* text;
        uint64_t max;
        bool ok;
        uint64_t value;
    };
    const Case cases[] = {
        {"0", 0, true, 0},
        {"010", 100, true, 10},
        {"0x10", 100, true, 16},
        {"0xffffffffffffffff", UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551615", UINT64_MAX, true, UINT64_MAX},
        {"18446744073709551616", UINT64_MAX, false, 0},
        {"0x10000000000000000", UINT64_MAX, false, 0},
        {"256", 255, false, 0},
        {"0x100", 255, false, 0},
        {"+1", 255, false, 0},
        {"1 ", 255, false, 0},
        {"0b1", 255, false, 0},
        {"", 255, false, 0},
    };
    for (const Case& c : cases) {
        uint64_t value = 0;
        EXPECT_EQ(kestrune::args::parseNumber(c.text, c.max, value), c.ok) << c.text;
        if (c.ok) {
            EXPECT_EQ(value, c.value) << c.text;
        }
    }
}

// A program with commands: each command's words are its own, and its mistakes name it.
TEST(Args, CommandsOfAProgram) {
    struct Case {
        std::vector<std::string> words;
        int status;
        const char* chosen;
        const char* err; // "" when none
    };
    const Case cases[] = {
        {{"info", "--bogus", "x"}, EXIT_USAGE, "t info", "t info: unknown option --bogus\n"},
        {{"--", "--version"}, EXIT_USAGE, "t", "t: unknown command --version\n"},
        {{}, PROCEED, "t", ""},
        {{"--version", "info"}, 0, "t info", ""},
        {{"--bogus", "info"}, EXIT_USAGE, "t info", "t: unknown option --bogus\n"},
        {{"bogus"}, EXIT_USAGE, "t", "t: unknown command bogus\n"},
        {{"info"}, EXIT_USAGE, "t info", "t info: missing IMAGE\n"},
        {{"info", "--port", "p", "img", "info"},
         EXIT_USAGE,
         "t info",
         "t info: unexpected argument info\n"},
        {{"info", "--port", "p", "img"}, PROCEED, "t info", ""},
        // A command named as a value (help COMMAND) is one of the program's.
        {{"help", "bogus"}, EXIT_USAGE, "t help", "t: unknown command bogus\n"},
        {{"help", "info"}, PROCEED, "t help", ""},
    };
    for (const Case& c : cases) {
        std::ostringstream out, err;
        std::string port, image;
        CLI::App app("", "t");
        kestrune::args::setUp(app, "1");
        app.require_subcommand(0, 1);
        CLI::App& info = *app.add_subcommand("info", "a command");
        info.add_option("--port", port, "port")->type_name("DEVICE");
        info.add_option("IMAGE", image, "the image")->required();
        std::string named;
        app.add_subcommand("help", "a command's help")
            ->add_option("COMMAND", named, "a command")
            ->check(kestrune::args::CommandName({"info", "help"}));
        const std::string line = c.words.empty() ? "(none)" : c.words.front();
        EXPECT_EQ(kestrune::args::parse(app, c.words, out, err), c.status) << line;
        EXPECT_EQ(kestrune::args::commandName(kestrune::args::chosen(app)), c.chosen) << line;
        EXPECT_EQ(err.str().substr(0, err.str().find('\n') + 1), c.err) << line;
        if (c.status == PROCEED && c.words.size() > 2) {
            EXPECT_EQ(port, "p") << line;
        }
    }
}

// The man page keeps the help's own words and lines: roff escapes, a titled paragraph of the
// footer as a subsection with its lines kept (the example stays one block), hidden options
// left out of the page and of the completion.
TEST(Args, ManPageKeepsTheHelpsLines) {
    struct Case {
        const char* footer;
        const char* roff;
    };
    const Case cases[] = {
        {"Example:\n  t run -o x.dl \\\n      --size 1",
         ".SS \"Example:\"\n.PP\n.nf\n  t run \\-o x.dl \\e\n      \\-\\-size 1\n.fi\n"},
        {"Exit status: 0 done,\n64 wrong usage.",
         ".PP\n.nf\nExit status: 0 done,\n64 wrong usage.\n.fi\n"},
        {"one\n.two\n'three", ".PP\n.nf\none\n\\&.two\n\\&'three\n.fi\n"},
        {"First:\n  a\n\nSecond:\n  b", ".SS \"First:\"\n.PP\n.nf\n  a\n.fi\n.SS \"Second:\"\n"},
    };
    for (const Case& c : cases) {
        CLI::App app("The program.", "t");
        kestrune::args::setUp(app, "1");
        std::string port;
        CLI::App& run = *app.add_subcommand("run", "Runs. More words.");
        run.add_option("-p,--port", port, "the port")->type_name("DEVICE");
        run.add_option("--secret", port, "")->group("");
        run.footer(c.footer);
        const std::string page = kestrune::args::manPage(app, "a test", "1");
        EXPECT_NE(page.find(c.roff), std::string::npos) << c.footer << "\n" << page;
        EXPECT_NE(page.find(".SH \"COMMAND RUN\"\n.B t run\n"), std::string::npos) << page;
        EXPECT_NE(page.find(".TP\n\\fB\\-p\\fR, \\fB\\-\\-port\\fR \\fIDEVICE\\fR\nthe port\n"),
                  std::string::npos)
            << page;
        EXPECT_EQ(page.find("secret"), std::string::npos) << page;
        EXPECT_EQ(kestrune::args::bashCompletion(app).find("secret"), std::string::npos);
    }
}

} // namespace
