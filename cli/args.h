#pragma once
// One way to read command lines for every Kestrune program (kestrune-cli and its subcommands,
// kestrune-mkimage, kestrune-boxsim), built on CLI11. Every program built on it behaves alike:
//
//   - `--opt value` and `--opt=value` (short names: `-o value`, `-ovalue`);
//   - `--` ends the options: every later argument is positional, even one that starts with '-';
//   - a mistake gets one line naming the program and the mistake, and one line pointing to
//     --help, on stderr, and the exit status EXIT_USAGE (64):
//         kestrune-cli serve: missing value after --port
//         Run 'kestrune-cli serve --help' for usage.
//     The messages: "unknown option --x", "unexpected argument X", "missing value after --x"
//     (also when the next word is one of the command's own options), "missing IMAGE" (a
//     required positional), "--x needs a number from 0 to 255, not 300", or what an action or
//     the command itself says;
//   - `-h`/`--help` prints the help to stdout, exit 0; `--version` (where declared) prints
//     "<program> <version>", exit 0. An unknown option, a surplus argument or a bad value
//     elsewhere on the line is reported instead (a missing IMAGE is not);
//   - numbers are decimal or hexadecimal with an explicit 0x ("010" is ten, never eight);
//   - an option given twice keeps its last value; repeatable options keep every value.
//
// Help text is made from the declarations: the "Usage:" line(s), the summary, "Arguments:", the
// options (grouped under "Options:" or a group's own title) and a footer.
//
// Example: a subcommand with a device option, a repeatable option, flags and one IMAGE.
//
//     int runServe(int argc, char** argv) {     // argv: the arguments after "serve"
//         std::string port = "COM1", log, image;
//         std::vector<std::string> naks;
//         bool quiet = false, trace = false;
//         unsigned timeout = 20;
//         args::Command cmd("kestrune-cli serve",
//                           "Waits for a set top box on DEVICE and downloads IMAGE to it.");
//         cmd.text("--port", port, "DEVICE", "serial port (default COM1)")
//             .text("--log", log, "FILE", "write the Test Log to FILE")
//             .repeated("--nak", naks, "N[:K]", "refuse frame N (K times); repeatable")
//             .number("--timeout", timeout, "S", "give up after S seconds", 1u, 3600u)
//             .flag("-q,--quiet", quiet, "no progress display")
//             .flag("--trace", trace, "every transfer on the port, on stderr")
//             .positional("IMAGE", image, "the download image (.dl)")
//             .footer("Exit status: 0 download complete, ... 64 wrong usage.");
//         if (const int status = cmd.parse(argc, argv); status != args::PROCEED) {
//             return status;                     // --help (0) or a usage error (64)
//         }
//         if (port.empty()) {
//             return cmd.fail("--port needs a device name");  // the same two lines, 64
//         }
//         ...
//
// Options whose meaning depends on their place among the others (kestrune-mkimage's module
// options apply to the latest --module) are declared with each()/eachNumber(): the action
// runs at once for every use, in command-line order, and returns "" or the message of a
// mistake. A program with subcommands declares rest("COMMAND", words): parsing stops at the
// first positional argument, which starts `words`, and the program hands `words` to the
// subcommand's own Command.

#include "kestrune/version.h"

#include <cstdint>
#include <cstdio>
#include <functional>
#include <limits>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

namespace CLI {
class App;
}

namespace kestrune::args {

// Exit status of a wrong usage (sysexits' EX_USAGE), the same in every program.
constexpr int EXIT_USAGE = 64;
// parse()'s answer when the program should go on with its work.
constexpr int PROCEED = -1;

// Reads an unsigned number in decimal or as 0x hex (no sign, no octal, no spaces); false when
// `text` is not one or is above `max`.
bool parseNumber(const std::string& text, uint64_t max, uint64_t& value);

// The message for a value that is not a number from `min` to `max`:
// "--size needs a number from 0 to 255, not 300".
std::string numberMistake(const std::string& option, const std::string& value, uint64_t min,
                          uint64_t max);

class Command {
public:
    // `program` begins every message: "kestrune-mkimage", "kestrune-cli info". `summary` is the
    // help's first paragraph.
    explicit Command(std::string program, std::string summary = "");
    ~Command();
    Command(const Command&) = delete;
    Command& operator=(const Command&) = delete;

    // --version, printing "<program> <version>".
    Command& version(std::string version = KESTRUNE_VERSION);
    // The usage line(s) after the program name; by default "[OPTIONS]" and the positionals.
    // Several lines are separated by '\n', each printed after the program name.
    Command& usage(std::string line);
    // Text after the option list in --help (exit statuses, examples).
    Command& footer(std::string text);
    // Options declared from now on are listed under this title ("Options:" before the first).
    Command& group(std::string title);

    // `names`: "--port" or "-o,--output". `valueName` is shown in the help: "--port DEVICE".
    Command& text(const std::string& names, std::string& target, const std::string& valueName,
                  const std::string& help);
    Command& repeated(const std::string& names, std::vector<std::string>& target,
                      const std::string& valueName, const std::string& help);
    Command& flag(const std::string& names, bool& target, const std::string& help);
    template <typename T>
    Command& number(const std::string& names, T& target, const std::string& valueName,
                    const std::string& help, T min = 0, T max = std::numeric_limits<T>::max()) {
        static_assert(std::is_unsigned_v<T>, "numbers are unsigned");
        return numberOption(names, valueName, help, min, max,
                            [&target](uint64_t v) { target = T(v); });
    }
    // A decimal number such as 2.5 (seconds), from `min` to `max`.
    Command& decimal(const std::string& names, double& target, const std::string& valueName,
                     const std::string& help, double min, double max);
    // An action run at once for each use, in command-line order; it returns "" to accept the
    // value, or the message of the mistake.
    using Action = std::function<std::string(const std::string&)>;
    using NumberAction = std::function<std::string(uint64_t)>;
    Command& each(const std::string& names, const std::string& valueName, const std::string& help,
                  Action action);
    Command& eachNumber(const std::string& names, const std::string& valueName,
                        const std::string& help, uint64_t min, uint64_t max, NumberAction action);

    // A required positional argument, and one that may be left out.
    Command& positional(const std::string& name, std::string& target, const std::string& help);
    Command& optionalPositional(const std::string& name, std::string& target,
                                const std::string& help);
    // Everything from the first positional argument on, unparsed: a subcommand and its
    // arguments. `words` stays empty when there is none; the program decides what that means.
    Command& rest(const std::string& name, std::vector<std::string>& words,
                  const std::string& help);

    // Parses the arguments (argv[0] is the first argument, not the program). Returns PROCEED,
    // or the exit status to end with: 0 after --help or --version, EXIT_USAGE after a mistake
    // (its two lines already printed).
    int parse(int argc, const char* const* argv);
    int parse(const std::vector<std::string>& arguments);

    // For mistakes the declarations cannot catch: prints "<program>: <message>" and the
    // pointer to --help, returns EXIT_USAGE.
    int fail(const std::string& message) const;

    // The help text, as --help prints it.
    std::string help() const;
    const std::string& program() const { return program_; }

    // Where help, version and mistakes are written (stdout and stderr by default).
    Command& streams(FILE* out, FILE* err);

    // The CLI11 application underneath, for what this class does not cover (include
    // <CLI/CLI.hpp> to use it).
    CLI::App& app() { return *app_; }

private:
    struct Entry {
        std::string names;     // as shown: "-o, --output"
        std::string valueName; // "" for flags
        std::string help;
        std::string group;
        bool positional = false;
        bool required = false;
    };

    Command& numberOption(const std::string& names, const std::string& valueName,
                          const std::string& help, uint64_t min, uint64_t max,
                          std::function<void(uint64_t)> store);
    Command& valueOption(const std::string& names, const std::string& valueName,
                         const std::string& help, Action action, bool repeatable);
    void declare(const std::string& names, const std::string& valueName, const std::string& help);
    // Whether `word` is one of this command's own option names (or "--"), for telling a
    // missing value from a value.
    bool isOptionName(const std::string& word) const;
    std::string longestName(const std::string& names) const;

    std::string program_;
    std::string summary_;
    std::string usage_;
    std::string footer_;
    std::string group_ = "Options";
    std::string version_;
    std::vector<Entry> entries_;
    std::vector<std::string> optionNames_;
    std::vector<std::string> valueOptionNames_;
    std::vector<std::string>* rest_ = nullptr;
    std::string restName_;
    FILE* out_ = stdout;
    FILE* err_ = stderr;
    std::unique_ptr<CLI::App> app_;
};

} // namespace kestrune::args
