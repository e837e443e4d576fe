// The argument layer as a program's user meets it: what one command line sets, prints and
// returns. Every case builds the same small command afresh.
#include "cli/args.h"

#include <cstdio>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

using kestrune::args::Command;
using kestrune::args::EXIT_USAGE;
using kestrune::args::PROCEED;

std::string readAll(FILE* file) {
    std::string text;
    std::rewind(file);
    char buffer[4096];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        text.append(buffer, got);
    }
    return text;
}

struct Outcome {
    int status = 0;
    std::string out, err;
    std::string port = "COM1", image;
    std::vector<std::string> naks;
    unsigned module = 0;
    double timeout = 20;
    bool quiet = false;
    std::vector<std::string> order; // what the ordered actions saw
};

Outcome run(const std::vector<std::string>& words) {
    Outcome o;
    FILE* out = std::tmpfile();
    FILE* err = std::tmpfile();
    {
        Command cmd("t serve", "Test command.");
        cmd.version("9.9.9")
            .streams(out, err)
            .text("--port", o.port, "DEVICE", "serial port")
            .repeated("--nak", o.naks, "N[:K]", "refuse a frame")
            .number("-m,--module", o.module, "ID", "module", 0u, 0xFFFFu)
            .decimal("--timeout", o.timeout, "S", "seconds", 0.001, 3600.0)
            .flag("-q,--quiet", o.quiet, "quiet")
            .each("--note", "TEXT", "ordered",
                  [&o](const std::string& v) {
                      o.order.push_back("note " + v);
                      return v == "bad" ? std::string("--note refuses bad") : std::string();
                  })
            .eachNumber("--seed", "N", "ordered number", 1, 9,
                        [&o](uint64_t v) {
                            o.order.push_back("seed " + std::to_string(v));
                            return std::string();
                        })
            .positional("IMAGE", o.image, "the image");
        o.status = cmd.parse(words);
    }
    o.out = readAll(out);
    o.err = readAll(err);
    std::fclose(out);
    std::fclose(err);
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
        EXPECT_EQ(help.out.rfind("Usage: t serve [OPTIONS] IMAGE\n\nTest command.\n", 0), 0u)
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

TEST(Args, SubcommandWordsAreHandedOnUnparsed) {
    struct Case {
        std::vector<std::string> words;
        int status;
        std::vector<std::string> rest;
    };
    const Case cases[] = {
        {{"info", "--bogus", "x"}, PROCEED, {"info", "--bogus", "x"}},
        {{"--", "--version"}, PROCEED, {"--version"}},
        {{}, PROCEED, {}},
        {{"--version", "info"}, 0, {"info"}},
        {{"--bogus", "info"}, EXIT_USAGE, {"info"}},
    };
    for (const Case& c : cases) {
        std::vector<std::string> rest;
        FILE* sink = std::tmpfile();
        Command cmd("t", "");
        cmd.version("1").streams(sink, sink).rest("COMMAND", rest, "a command");
        EXPECT_EQ(cmd.parse(c.words), c.status);
        EXPECT_EQ(rest, c.rest);
        std::fclose(sink);
    }
}

} // namespace
