#pragma once
// The command lines of every Kestrune program (kestrune-cli and its commands, kestrune-mkimage,
// kestrune-boxsim) are CLI11 trees: one CLI::App per program, a subcommand per command. This
// layer adds only what CLI11 leaves to its user: the set-up every program shares, two
// validators, the words of a mistake, and a help layout. Every program behaves alike:
//
//   - `--opt value` and `--opt=value` (short names: `-o value`, `-ovalue`); `--opt=` is an
//     empty value;
//   - `--` ends the options: every later argument is positional, even one that starts with '-';
//   - a mistake gets one line naming the command and the mistake, and one line pointing to
//     --help, on stderr, and the exit status EXIT_USAGE (64):
//         kestrune-cli serve: missing value after --port
//         Run 'kestrune-cli serve --help' for usage.
//     The messages: "unknown option --x", "unexpected argument X", "unknown command X",
//     "missing value after --x" (also when the next word is one of the command's own options),
//     "missing IMAGE" (a required positional), "--x needs a number from 0 to 255, not 300", or
//     what an action or the command itself says. An unknown option or a surplus argument is
//     reported before any other mistake on the line, and before --help and --version;
//   - `-h`/`--help` prints the help to stdout, exit 0; `--version` (where declared) prints
//     "<program> <version>", exit 0;
//   - numbers are decimal or hexadecimal with an explicit 0x ("010" is ten, never eight);
//   - an option given twice keeps its last value; repeatable options (a vector) keep every one.
//
// Declaring a command: one function per command fills the command's CLI::App from its options
// struct and runs nothing, so the whole tree can be built for the help, the man pages and the
// completion. Each line is plain CLI11:
//
//     struct ServeOptions { std::string port = "COM1", image; unsigned retries = 0; ... };
//     void declareServe(CLI::App& app, ServeOptions& o) {
//         app.add_option("--port", o.port, "serial port (default COM1)")->type_name("DEVICE");
//         app.add_option("--nak", o.naks, "refuse frame N; repeatable")->type_name("N");
//         app.add_option("--retries", o.retries, "retries")->type_name("N")
//             ->transform(args::Number(0, 100));                   // decimal or 0x, 0 to 100
//         app.add_option("--settle", o.settle, "seconds")->type_name("SECONDS")
//             ->transform(args::Decimal(0.2, 3600));
//         app.add_flag("-q,--quiet", o.quiet, "no progress display");
//         app.add_option("IMAGE", o.image, "the download image (.dl)")->required();
//         app.footer("Exit status: ...");
//     }
//
// A new command is one more line of the program's tree (cli/commands.cpp, declareCli): its
// subcommand, declared from its options, whose callback leaves its run for after the parse:
//
//     addCommand(app, "report", o.report, declareReport, runReport, o.run);
//
// Exclusive options and options that need another are CLI11's excludes() and needs(); a choice
// of words standing for values is args::Word. A command's run function gets its App for the
// mistakes the declarations cannot catch:
//
//     if (o.port.empty()) return args::fail(app, "--port needs a device name");   // 64
//
// Options whose meaning depends on their place among the others (kestrune-mkimage's module
// options apply to the latest --module) are actions run at once for every use, in
// command-line order; an action throws args::Mistake for a value it refuses:
//
//     app.add_option_function<uint64_t>("--tag", [&](const uint64_t& tag) { ... },
//                                       "the tag byte")
//         ->type_name("N")->transform(args::Number(0, 0xFF))->trigger_on_parse();
//
// A program's main: set up its root App, declare, parse, run:
//
//     CLI::App app("Summary.", "kestrune-mkimage");
//     args::setUp(app, KESTRUNE_VERSION);
//     declareMkimage(app, options);
//     if (const int status = args::parse(app, argc, argv); status != args::PROCEED) return status;

#include "kestrune/version.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdint>
#include <iostream>
#include <string>
#include <utility>
#include <vector>

namespace kestrune::args {

// Exit status of a wrong usage (sysexits' EX_USAGE), the same in every program.
constexpr int EXIT_USAGE = 64;
// parse()'s answer when the program should go on with its work.
constexpr int PROCEED = -1;

// A mistake an action found in its value; its text is the whole message.
class Mistake : public CLI::ParseError {
public:
    explicit Mistake(const std::string& message)
        : CLI::ParseError("Mistake", message, EXIT_USAGE) {}
};

// Reads an unsigned number in decimal or as 0x hex (no sign, no octal, no spaces); false when
// `text` is not one or is above `max`.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& value);

// An unsigned number from `min` to `max`, decimal or 0x hex; the value goes on in decimal.
// Its mistake: "--size needs a number from 0 to 255, not 300".
CLI::Validator Number(uint64_t min, uint64_t max);
// A plain decimal number such as 2.5 (seconds, a rate) from `min` to `max`: no hex, no "inf".
CLI::Validator Decimal(double min, double max);

// One of a few words, each standing for a value of T (an enum): CLI11's CheckedTransformer
// gives the option the value. Only the words are taken, and the mistake reads
// "--format needs text, csv or json, not xml".
template <typename T> CLI::Validator Word(const std::vector<std::pair<std::string, T>>& words);

// The name of one of `names` (a command of the program: `help COMMAND`); CLI11's IsMember. The
// mistake is the program's own: "kestrune-cli: unknown command X".
CLI::Validator CommandName(const std::vector<std::string>& names);

// "a, b or c".
std::string listOf(const std::vector<std::string>& words);

// The set-up every program's root App gets before its declarations (its subcommands inherit
// it): the help layout, -h/--help, --version printing "<program> <version>" when `version` is
// given, an option given twice keeping its last value, and paths never taken for Windows-style
// options.
void setUp(CLI::App& app, const std::string& version = "");

// Parses the command line (argv[0] is the program, and is ignored: the App has its name).
// Returns PROCEED, or the exit status to end with: 0 after --help or --version, EXIT_USAGE
// after a mistake (its two lines already printed on `err`).
int parse(CLI::App& app, int argc, const char* const* argv);
int parse(CLI::App& app, const std::vector<std::string>& words, std::ostream& out = std::cout,
          std::ostream& err = std::cerr);

// For mistakes the declarations cannot catch: prints "<command>: <message>" and the pointer
// to its --help, returns EXIT_USAGE.
int fail(const CLI::App& command, const std::string& message, std::ostream& err = std::cerr);

// The man page (roff) and the bash completion script of the program whose root is `root`:
// every command, option and argument it declares (hidden ones left out). `whatis` is the
// page's one-line description. setUp() gives every program the hidden options --man-page
// WHATIS and --bash-completion that print them.
std::string manPage(const CLI::App& root, const std::string& whatis, const std::string& version);
std::string bashCompletion(const CLI::App& root);

// "kestrune-cli serve": the names from the root down to `app`.
std::string commandName(const CLI::App& app);
// The command the line chose: the deepest subcommand parsed, or `root`.
const CLI::App& chosen(const CLI::App& root);
// A command's line in its program's list of commands: the first sentence of its description.
std::string summary(const CLI::App& command);
// The help of `command` as its --help prints it.
std::string help(const CLI::App& command);

// What a validator's mistake begins with; the option's name goes before it.
inline constexpr const char* NEEDS = "needs ";

template <typename T> CLI::Validator Word(const std::vector<std::pair<std::string, T>>& words) {
    std::vector<std::string> names;
    for (const auto& [name, value] : words) {
        names.push_back(name);
    }
    const CLI::Validator transform = CLI::CheckedTransformer(words);
    return CLI::Validator(
        [transform, names](std::string& value) {
            // The transformer also takes a value's own number ("2" for json): words only.
            if (std::find(names.begin(), names.end(), value) == names.end()) {
                return NEEDS + listOf(names) + ", not " +
                       (value.empty() ? "an empty value" : value);
            }
            return transform(value);
        },
        "", "kestrune-word");
}

} // namespace kestrune::args
