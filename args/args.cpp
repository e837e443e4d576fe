#include "args/args.h"

#include <algorithm>
#include <cstdlib>
#include <sstream>

namespace kestrune::args {

namespace {

constexpr size_t HELP_WIDTH = 79;
constexpr size_t HELP_COLUMN = 24;
// The name of CommandName's validator, which the words of a mistake look for.
constexpr const char* COMMAND_NAME = "kestrune-command";
// The guard's message for a value that is one of the command's own option names.
constexpr const char* NO_VALUE = "no value";

// `text` word-wrapped into lines that start at column `indent` and end by HELP_WIDTH; the
// first line starts at `column`. Line breaks in `text` stay.
std::string wrap(const std::string& text, size_t column, size_t indent) {
    std::string out;
    std::istringstream lines(text);
    std::string line;
    bool firstLine = true;
    while (std::getline(lines, line)) {
        if (!firstLine) {
            out += '\n' + std::string(indent, ' ');
            column = indent;
        }
        firstLine = false;
        std::istringstream words(line);
        std::string word;
        bool lineStart = true;
        while (words >> word) {
            if (!lineStart && column + 1 + word.size() > HELP_WIDTH) {
                out += '\n' + std::string(indent, ' ');
                column = indent;
                lineStart = true;
            }
            if (!lineStart) {
                out += ' ';
                ++column;
            }
            out += word;
            column += word.size();
            lineStart = false;
        }
    }
    return out;
}

// CLI11's help, with "-o, --output FILE" names, no type or default badges, and every text
// wrapped at spaces into 79 columns.
class Layout : public CLI::Formatter {
public:
    Layout() {
        label("Positionals", "Arguments");
        label("Subcommands", "Commands");
        label("SUBCOMMAND", "COMMAND");
    }
    std::string make_option_name(const CLI::Option* opt, bool positional) const override {
        if (positional) {
            return opt->get_name(true, false);
        }
        std::string names;
        for (const std::string& s : opt->get_snames()) {
            names += (names.empty() ? "-" : ", -") + s;
        }
        for (const std::string& l : opt->get_lnames()) {
            names += (names.empty() ? "--" : ", --") + l;
        }
        return names;
    }
    std::string make_option_opts(const CLI::Option* opt) const override {
        return opt->get_expected_min() > 0 && !opt->get_type_name().empty()
                   ? " " + opt->get_type_name()
                   : std::string();
    }
    std::string make_option(const CLI::Option* opt, bool positional) const override {
        std::string left = "  " + make_option_name(opt, positional);
        if (!positional) {
            left += make_option_opts(opt);
        }
        return entry(left, opt->get_description());
    }
    // A command in its program's list: the first sentence of its description.
    std::string make_subcommand(const CLI::App* sub) const override {
        return entry("  " + sub->get_display_name(), summary(*sub));
    }
    std::string make_description(const CLI::App* app) const override {
        const std::string& text = app->get_description();
        return text.empty() ? std::string() : wrap(text, 0, 0) + "\n\n";
    }
    std::string make_help(const CLI::App* app, std::string name,
                          CLI::AppFormatMode mode) const override {
        // One empty line between the groups, not two.
        std::string text = CLI::Formatter::make_help(app, std::move(name), mode);
        for (size_t at; (at = text.find("\n\n\n")) != std::string::npos;) {
            text.erase(at, 1);
        }
        return text;
    }
    std::string make_footer(const CLI::App* app) const override {
        const std::string& text = app->get_footer();
        return text.empty() ? std::string() : text + (text.back() == '\n' ? "" : "\n");
    }

private:
    static std::string entry(std::string left, const std::string& help) {
        if (help.empty()) {
            return left + "\n";
        }
        if (left.size() + 2 > HELP_COLUMN) {
            left += "\n" + std::string(HELP_COLUMN, ' ');
        } else {
            left.append(HELP_COLUMN - left.size(), ' ');
        }
        return left + wrap(help, HELP_COLUMN, HELP_COLUMN) + "\n";
    }
};

// Whether `word` names one of `app`'s own options (or is "--"): a missing value, not a value.
bool isOptionName(const CLI::App& app, const std::string& word) {
    if (word == "--") {
        return true;
    }
    if (word.size() < 2 || word[0] != '-') {
        return false;
    }
    const std::string name = word.rfind("--", 0) == 0 ? word.substr(0, word.find('=')) : word;
    for (const CLI::Option* opt : app.get_options()) {
        if (!opt->get_positional() && opt->check_name(name)) {
            return true;
        }
    }
    return false;
}

bool guarded(CLI::Option* opt) {
    try {
        opt->get_validator("kestrune-guard");
        return true;
    } catch (const CLI::Error&) {
        return false;
    }
}

// Every value option of the tree refuses a value that is one of its command's option names,
// and a single value is taken (and checked) where it stands, so that the first mistake on the
// line is the one reported.
void guardValues(CLI::App& app) {
    for (CLI::Option* opt : app.get_options()) {
        if (!opt->get_positional() && opt->get_expected_min() > 0 && !guarded(opt)) {
            if (opt->get_items_expected_max() == 1) {
                opt->trigger_on_parse();
            }
            const CLI::App* owner = &app;
            opt->check(CLI::Validator(
                [owner](std::string& value) {
                    return isOptionName(*owner, value) ? std::string(NO_VALUE) : std::string();
                },
                "", "kestrune-guard"));
        }
    }
    for (CLI::App* sub : app.get_subcommands([](CLI::App*) { return true; })) {
        sub->group("Commands");
        guardValues(*sub);
    }
}

// A value option's name anywhere in the tree.
bool takesValue(const CLI::App& app, const std::string& name) {
    for (const CLI::Option* opt : app.get_options()) {
        if (!opt->get_positional() && opt->get_expected_min() > 0 && opt->check_name(name)) {
            return true;
        }
    }
    for (const CLI::App* sub : app.get_subcommands([](const CLI::App*) { return true; })) {
        if (takesValue(*sub, name)) {
            return true;
        }
    }
    return false;
}

// The options and surplus arguments nobody took, in command-line order, from the chosen
// command up to the root, with whether each came after "--".
struct Extra {
    std::string word;
    bool afterMark = false;
    const CLI::App* owner = nullptr;
};
std::vector<Extra> extras(const CLI::App& root) {
    std::vector<Extra> out;
    for (const CLI::App* app = &chosen(root); app != nullptr; app = app->get_parent()) {
        bool afterMark = false;
        for (const std::string& word : app->remaining()) {
            if (word == "--") {
                afterMark = true;
            } else {
                out.push_back({word, afterMark, app});
            }
        }
    }
    return out;
}

std::string replaced(std::string text, const std::string& what, const std::string& with) {
    if (const size_t at = text.find(what); at != std::string::npos) {
        text.replace(at, what.size(), with);
    }
    return text;
}

std::string twoLines(const CLI::App& command, const std::string& message) {
    const std::string name = commandName(command);
    return name + ": " + message + "\nRun '" + name + " --help' for usage.\n";
}

// What went wrong, in the user's words.
std::string usersWords(const CLI::App& command, const CLI::Error& e,
                       const std::vector<std::string>& words) {
    if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr && !words.empty()) {
        // The words ran out before the option's value: the option is the last word.
        return "missing value after " + words.back().substr(0, words.back().find('='));
    }
    if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
        for (const CLI::Option* opt : command.get_options()) {
            if (opt->get_positional() && opt->get_required() && opt->count() == 0) {
                return "missing " + opt->get_name();
            }
        }
    }
    // CLI11's needs() and excludes(), in the words of the other mistakes.
    const std::string text = e.what();
    if (dynamic_cast<const CLI::RequiresError*>(&e) != nullptr) {
        return replaced(text, " requires ", " needs ");
    }
    if (const size_t at = text.find(" excludes ");
        dynamic_cast<const CLI::ExcludesError*>(&e) != nullptr && at != std::string::npos) {
        return "give " + text.substr(0, at) + " or " + text.substr(at + 10) + ", not both";
    }
    if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr) {
        // "--size: needs a number ..." from a validator of the option "--size".
        const size_t colon = text.find(": ");
        if (colon != std::string::npos) {
            const std::string name = text.substr(0, colon);
            const std::string said = text.substr(colon + 2);
            const CLI::Option* opt = command.get_option_no_throw(name);
            const bool missing =
                said == NO_VALUE ||
                (opt != nullptr && std::any_of(opt->results().begin(), opt->results().end(),
                                               [&command](const std::string& value) {
                                                   return isOptionName(command, value);
                                               }));
            if (missing) {
                return "missing value after " + name;
            }
            if (said.rfind(NEEDS, 0) == 0) {
                return name + " " + said;
            }
        }
    }
    return e.what();
}

// The value of `command`'s positional that CommandName refused, or nullptr.
const std::string* unknownCommand(const CLI::App& command) {
    for (const CLI::Option* opt : command.get_options()) {
        if (!opt->get_positional()) {
            continue;
        }
        try {
            const CLI::Validator* names =
                const_cast<CLI::Option*>(opt)->get_validator(COMMAND_NAME);
            for (const std::string& value : opt->results()) {
                std::string word = value;
                if (!(*names)(word).empty()) {
                    return &value;
                }
            }
        } catch (const CLI::Error&) {
            // not a command name
        }
    }
    return nullptr;
}

// The two lines of a mistake; an unknown option or a surplus argument comes first.
std::string mistake(const CLI::App& root, const CLI::Error& e,
                    const std::vector<std::string>& words) {
    const CLI::App& command = chosen(root);
    if (const std::vector<Extra> left = extras(root); !left.empty()) {
        const Extra& first = left.front();
        if (!first.afterMark && first.word.size() > 1 && first.word[0] == '-') {
            return twoLines(*first.owner,
                            "unknown option " + first.word.substr(0, first.word.find('=')));
        }
        if (&command == &root && !root.get_subcommands({}).empty()) {
            return twoLines(root, "unknown command " + first.word);
        }
        return twoLines(*first.owner, "unexpected argument " + first.word);
    }
    if (dynamic_cast<const CLI::ValidationError*>(&e) != nullptr) {
        if (const std::string* name = unknownCommand(command); name != nullptr) {
            // `help bogus`: the program has no such command.
            return twoLines(root, "unknown command " + *name);
        }
    }
    return twoLines(command, usersWords(command, e, words));
}

std::string between(double min, double max) {
    return CLI::detail::to_string(min) + " to " + CLI::detail::to_string(max);
}

std::string notWhat(const std::string& value) {
    return value.empty() ? std::string("an empty value") : value;
}

} // namespace

bool parseNumber(const std::string& text, uint64_t max, uint64_t& value) {
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const size_t first = hex ? 2 : 0;
    if (text.size() == first) {
        return false;
    }
    const uint64_t base = hex ? 16 : 10;
    uint64_t result = 0;
    for (size_t i = first; i < text.size(); ++i) {
        const char c = text[i];
        uint64_t digit = 0;
        if (c >= '0' && c <= '9') {
            digit = uint64_t(c - '0');
        } else if (hex && c >= 'a' && c <= 'f') {
            digit = uint64_t(c - 'a' + 10);
        } else if (hex && c >= 'A' && c <= 'F') {
            digit = uint64_t(c - 'A' + 10);
        } else {
            return false;
        }
        if (result > (max - digit) / base) {
            return false; // above max (and never wraps)
        }
        result = result * base + digit;
    }
    value = result;
    return true;
}

CLI::Validator Number(uint64_t min, uint64_t max) {
    return CLI::Validator(
        [min, max](std::string& value) {
            uint64_t number = 0;
            if (!parseNumber(value, max, number) || number < min) {
                return NEEDS + std::string("a number from ") + std::to_string(min) + " to " +
                       std::to_string(max) + ", not " + notWhat(value);
            }
            value = std::to_string(number); // CLI11 would read "010" as octal
            return std::string();
        },
        "", "kestrune-number");
}

CLI::Validator Decimal(double min, double max) {
    return CLI::Validator(
        [min, max](std::string& value) {
            char* end = nullptr;
            const double number = value.empty() ? 0.0 : std::strtod(value.c_str(), &end);
            // Plain decimals only: no hex floats, no "inf" or "nan".
            const bool plain =
                !value.empty() && value.find_first_not_of("0123456789.eE+-") == std::string::npos;
            if (!plain || end == nullptr || *end != '\0' || !(number >= min && number <= max)) {
                return NEEDS + std::string("a number from ") + between(min, max) + ", not " +
                       notWhat(value);
            }
            return std::string();
        },
        "", "kestrune-seconds");
}

CLI::Validator CommandName(const std::vector<std::string>& names) {
    // No description: CLI11 would add the set to the value's type name, which names its
    // completion.
    return CLI::IsMember(names).name(COMMAND_NAME).description("");
}

std::string listOf(const std::vector<std::string>& words) {
    std::string out;
    for (size_t i = 0; i < words.size(); ++i) {
        out += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
    }
    return out;
}

void setUp(CLI::App& app, const std::string& version) {
    app.formatter(std::make_shared<Layout>());
    app.set_help_flag("-h,--help", "show this help and exit");
    if (!version.empty()) {
        app.set_version_flag("--version", app.get_name() + " " + version,
                             "print \"" + app.get_name() + " " + version + "\" and exit");
    }
    app.option_defaults()->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
    // Hidden (no group): what the build installs as the man page and the bash completion.
    CLI::App* root = &app;
    app.add_option_function<std::string>(
           "--man-page",
           [root, version](const std::string& whatis) {
               std::cout << manPage(*root, whatis, version) << std::flush;
               throw CLI::Success();
           },
           "")
        ->type_name("WHATIS")
        ->group("")
        ->trigger_on_parse();
    app.add_flag_callback(
           "--bash-completion",
           [root]() {
               std::cout << bashCompletion(*root) << std::flush;
               throw CLI::Success();
           },
           "")
        ->group("")
        ->trigger_on_parse();
    // On Windows CLI11 could take "/work/x.dl" for an option "/work": a path is a path.
    app.allow_windows_style_options(false);
}

int parse(CLI::App& app, int argc, const char* const* argv) {
    return parse(app, std::vector<std::string>(argv + std::min(argc, 1), argv + argc));
}

int parse(CLI::App& app, const std::vector<std::string>& given, std::ostream& out,
          std::ostream& err) {
    guardValues(app);
    // "--log=" is an empty value (CLI11 would take the next word instead).
    std::vector<std::string> words;
    for (const std::string& word : given) {
        const bool afterMark = std::find(words.begin(), words.end(), "--") != words.end();
        if (!afterMark && word.size() > 3 && word.rfind("--", 0) == 0 && word.back() == '=' &&
            takesValue(app, word.substr(0, word.size() - 1))) {
            words.push_back(word.substr(0, word.size() - 1));
            words.emplace_back();
        } else {
            words.push_back(word);
        }
    }
    app.failure_message(
        [&words](const CLI::App* root, const CLI::Error& e) { return mistake(*root, e, words); });
    // CLI11's parse of a vector takes it from the back, as a stack (the last argument first in the
    // vector): the words go in reversed so that the line is read in its own order.
    std::vector<std::string> reversed(words.rbegin(), words.rend());
    try {
        app.parse(reversed);
    } catch (const CLI::ParseError& e) {
        // An unknown option or a surplus argument explains whatever else went wrong (a value
        // taken as the IMAGE, a missing IMAGE), and is reported even beside --help.
        if (!extras(app).empty()) {
            app.exit(CLI::ExtrasError(app.get_name(), std::vector<std::string>()), out, err);
            return EXIT_USAGE;
        }
        return app.exit(e, out, err) == 0 ? 0 : EXIT_USAGE;
    }
    return PROCEED;
}

std::string summary(const CLI::App& command) {
    const std::string& text = command.get_description();
    const size_t end = text.find(". ");
    return end == std::string::npos ? text : text.substr(0, end + 1);
}

int fail(const CLI::App& command, const std::string& message, std::ostream& err) {
    err << twoLines(command, message) << std::flush;
    return EXIT_USAGE;
}

std::string commandName(const CLI::App& app) {
    return app.get_parent() == nullptr ? app.get_name()
                                       : commandName(*app.get_parent()) + " " + app.get_name();
}

const CLI::App& chosen(const CLI::App& root) {
    const std::vector<CLI::App*> parsed = root.get_subcommands();
    return parsed.empty() ? root : chosen(*parsed.front());
}

std::string help(const CLI::App& command) {
    // Not command.help(): after a parse that would be the help of the command chosen.
    return command.get_formatter()->make_help(&command, commandName(command),
                                              CLI::AppFormatMode::Normal);
}

} // namespace kestrune::args
