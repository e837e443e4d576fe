#include "cli/args.h"

#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdlib>
#include <utility>

namespace kestrune::args {

namespace {

// A mistake found while reading a value; its text is the whole message.
class Mistake : public CLI::ParseError {
public:
    explicit Mistake(std::string message) : CLI::ParseError(std::move(message), EXIT_USAGE) {}
};

constexpr size_t HELP_WIDTH = 79;
constexpr size_t HELP_COLUMN = 24;

// "-o,--output" -> {"-o", "--output"}
std::vector<std::string> splitNames(const std::string& names) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= names.size()) {
        const size_t comma = names.find(',', start);
        const size_t end = comma == std::string::npos ? names.size() : comma;
        if (end > start) {
            out.push_back(names.substr(start, end - start));
        }
        if (comma == std::string::npos) {
            break;
        }
        start = comma + 1;
    }
    return out;
}

// Appends `text` word-wrapped into lines that start at column `indent` and end by HELP_WIDTH;
// the first line continues wherever `out` already is (`column`). Line breaks in `text` stay.
void wrapInto(std::string& out, size_t column, size_t indent, const std::string& text) {
    size_t at = 0;
    while (at < text.size()) {
        const size_t lineEnd = std::min(text.find('\n', at), text.size());
        size_t pos = at;
        bool lineStart = true;
        while (pos < lineEnd) {
            size_t wordEnd = text.find(' ', pos);
            wordEnd = wordEnd == std::string::npos || wordEnd > lineEnd ? lineEnd : wordEnd;
            const size_t length = wordEnd - pos;
            if (!lineStart && column + 1 + length > HELP_WIDTH) {
                out += '\n';
                out.append(indent, ' ');
                column = indent;
                lineStart = true;
            }
            if (!lineStart) {
                out += ' ';
                ++column;
            }
            out.append(text, pos, length);
            column += length;
            lineStart = false;
            pos = wordEnd;
            while (pos < lineEnd && text[pos] == ' ') {
                ++pos;
            }
        }
        at = lineEnd + 1;
        if (lineEnd < text.size()) {
            out += '\n';
            out.append(indent, ' ');
            column = indent;
        }
    }
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

std::string numberMistake(const std::string& option, const std::string& value, uint64_t min,
                          uint64_t max) {
    return option + " needs a number from " + std::to_string(min) + " to " + std::to_string(max) +
           ", not " + (value.empty() ? std::string("an empty value") : value);
}

Command::Command(std::string program, std::string summary)
    : program_(std::move(program)), summary_(std::move(summary)),
      app_(std::make_unique<CLI::App>(summary_, program_)) {
    app_->allow_extras(); // reported by parse() as "unknown option" or "unexpected argument"
    // On Windows CLI11 would take "/work/x.dl" for an option "/work": a path is a path.
    app_->allow_windows_style_options(false);
    app_->set_help_flag("-h,--help", "show this help and exit");
    declare("-h,--help", "", "show this help and exit");
}

Command::~Command() = default;

Command& Command::version(std::string version) {
    version_ = std::move(version);
    app_->set_version_flag("--version", program_ + " " + version_, "print the version and exit");
    declare("--version", "", "print \"" + program_ + " " + version_ + "\" and exit");
    return *this;
}

Command& Command::usage(std::string line) {
    usage_ = std::move(line);
    return *this;
}

Command& Command::footer(std::string text) {
    footer_ = std::move(text);
    return *this;
}

Command& Command::group(std::string title) {
    group_ = std::move(title);
    return *this;
}

void Command::declare(const std::string& names, const std::string& valueName,
                      const std::string& help) {
    Entry entry;
    for (const std::string& name : splitNames(names)) {
        entry.names += (entry.names.empty() ? "" : ", ") + name;
        optionNames_.push_back(name);
        if (!valueName.empty()) {
            valueOptionNames_.push_back(name);
        }
    }
    entry.valueName = valueName;
    entry.help = help;
    entry.group = group_;
    entries_.push_back(std::move(entry));
}

std::string Command::longestName(const std::string& names) const {
    std::string longest;
    for (const std::string& name : splitNames(names)) {
        if (name.size() > longest.size()) {
            longest = name;
        }
    }
    return longest;
}

bool Command::isOptionName(const std::string& word) const {
    if (word == "--") {
        return true;
    }
    const std::string name = word.rfind("--", 0) == 0 ? word.substr(0, word.find('=')) : word;
    return std::find(optionNames_.begin(), optionNames_.end(), name) != optionNames_.end();
}

Command& Command::valueOption(const std::string& names, const std::string& valueName,
                              const std::string& help, Action action, bool repeatable) {
    declare(names, valueName, help);
    const std::string shown = longestName(names);
    CLI::Option* option = app_->add_option(names, help);
    option->type_name(valueName);
    option->multi_option_policy(repeatable ? CLI::MultiOptionPolicy::TakeAll
                                           : CLI::MultiOptionPolicy::TakeLast);
    option->each([this, shown, action = std::move(action)](const std::string& value) {
        if (isOptionName(value)) {
            throw Mistake("missing value after " + shown);
        }
        std::string mistake = action(value);
        if (!mistake.empty()) {
            throw Mistake(mistake);
        }
    });
    // Values are taken in command-line order, so the first mistake on the line is the one
    // reported, and actions see the options in the order given.
    option->trigger_on_parse();
    return *this;
}

Command& Command::text(const std::string& names, std::string& target, const std::string& valueName,
                       const std::string& help) {
    return valueOption(
        names, valueName, help,
        [&target](const std::string& value) {
            target = value;
            return std::string();
        },
        false);
}

Command& Command::repeated(const std::string& names, std::vector<std::string>& target,
                           const std::string& valueName, const std::string& help) {
    return valueOption(
        names, valueName, help,
        [&target](const std::string& value) {
            target.push_back(value);
            return std::string();
        },
        true);
}

Command& Command::flag(const std::string& names, bool& target, const std::string& help) {
    declare(names, "", help);
    app_->add_flag(names, target, help);
    return *this;
}

Command& Command::numberOption(const std::string& names, const std::string& valueName,
                               const std::string& help, uint64_t min, uint64_t max,
                               std::function<void(uint64_t)> store) {
    const std::string shown = longestName(names);
    return valueOption(
        names, valueName, help,
        [shown, min, max, store = std::move(store)](const std::string& value) {
            uint64_t number = 0;
            if (!parseNumber(value, max, number) || number < min) {
                return numberMistake(shown, value, min, max);
            }
            store(number);
            return std::string();
        },
        false);
}

Command& Command::decimal(const std::string& names, double& target, const std::string& valueName,
                          const std::string& help, double min, double max) {
    const std::string shown = longestName(names);
    return valueOption(
        names, valueName, help,
        [shown, min, max, &target](const std::string& value) {
            char* end = nullptr;
            const double number = value.empty() ? 0.0 : std::strtod(value.c_str(), &end);
            // Plain decimals only: no hex floats, no "inf" or "nan".
            const bool plain =
                !value.empty() && value.find_first_not_of("0123456789.eE+-") == std::string::npos;
            if (!plain || end == nullptr || *end != '\0' || !(number >= min && number <= max)) {
                return shown + " needs a number from " + CLI::detail::to_string(min) + " to " +
                       CLI::detail::to_string(max) + ", not " +
                       (value.empty() ? std::string("an empty value") : value);
            }
            target = number;
            return std::string();
        },
        false);
}

Command& Command::each(const std::string& names, const std::string& valueName,
                       const std::string& help, Action action) {
    return valueOption(names, valueName, help, std::move(action), true);
}

Command& Command::eachNumber(const std::string& names, const std::string& valueName,
                             const std::string& help, uint64_t min, uint64_t max,
                             NumberAction action) {
    const std::string shown = longestName(names);
    return valueOption(
        names, valueName, help,
        [shown, min, max, action = std::move(action)](const std::string& value) {
            uint64_t number = 0;
            if (!parseNumber(value, max, number) || number < min) {
                return numberMistake(shown, value, min, max);
            }
            return action(number);
        },
        true);
}

Command& Command::positional(const std::string& name, std::string& target,
                             const std::string& help) {
    app_->add_option(name, target, help)->required();
    entries_.push_back({name, "", help, "", true, true});
    return *this;
}

Command& Command::optionalPositional(const std::string& name, std::string& target,
                                     const std::string& help) {
    app_->add_option(name, target, help);
    entries_.push_back({name, "", help, "", true, false});
    return *this;
}

Command& Command::rest(const std::string& name, std::vector<std::string>& words,
                       const std::string& help) {
    rest_ = &words;
    restName_ = name;
    entries_.push_back({name, "", help, "", true, true});
    return *this;
}

Command& Command::streams(FILE* out, FILE* err) {
    out_ = out;
    err_ = err;
    return *this;
}

int Command::fail(const std::string& message) const {
    std::fprintf(err_, "%s: %s\nRun '%s --help' for usage.\n", program_.c_str(), message.c_str(),
                 program_.c_str());
    std::fflush(err_);
    return EXIT_USAGE;
}

int Command::parse(int argc, const char* const* argv) {
    std::vector<std::string> arguments;
    for (int i = 0; i < argc; ++i) {
        arguments.emplace_back(argv[i]);
    }
    return parse(arguments);
}

int Command::parse(const std::vector<std::string>& arguments) {
    // A command with subcommands reads its own options only up to the subcommand's name.
    size_t headEnd = arguments.size();
    if (rest_ != nullptr) {
        rest_->clear();
        for (size_t i = 0; i < arguments.size(); ++i) {
            const std::string& word = arguments[i];
            if (word == "--") {
                headEnd = i;
                rest_->assign(arguments.begin() + long(i) + 1, arguments.end());
                break;
            }
            if (word.size() > 1 && word[0] == '-') {
                if (std::find(valueOptionNames_.begin(), valueOptionNames_.end(), word) !=
                    valueOptionNames_.end()) {
                    ++i; // its value
                }
                continue;
            }
            headEnd = i;
            rest_->assign(arguments.begin() + long(i), arguments.end());
            break;
        }
    }
    // "--log=" gives an empty value (CLI11 would take the next word instead).
    std::vector<std::string> head;
    for (size_t i = 0; i < headEnd; ++i) {
        const std::string& word = arguments[i];
        if (word.size() > 3 && word.rfind("--", 0) == 0 && word.back() == '=' &&
            std::find(valueOptionNames_.begin(), valueOptionNames_.end(),
                      word.substr(0, word.size() - 1)) != valueOptionNames_.end()) {
            head.push_back(word.substr(0, word.size() - 1));
            head.emplace_back();
        } else {
            head.push_back(word);
        }
    }

    // Unknown options and surplus arguments go first: they usually explain whatever else went
    // wrong (a value taken as the IMAGE, a missing IMAGE).
    auto extraMistake = [&]() -> std::string {
        // CLI11 keeps the "--" mark among the extras too.
        std::vector<std::string> extras = app_->remaining();
        extras.erase(std::remove(extras.begin(), extras.end(), std::string("--")), extras.end());
        if (extras.empty()) {
            return {};
        }
        const std::string& first = extras.front();
        const auto at = std::find(head.begin(), head.end(), first);
        const bool afterMark = std::find(head.begin(), at, std::string("--")) != at;
        if (!afterMark && first.size() > 1 && first[0] == '-') {
            return "unknown option " + first.substr(0, first.find('='));
        }
        return "unexpected argument " + first;
    };

    std::vector<std::string> reversed(head.rbegin(), head.rend());
    try {
        app_->parse(reversed);
    } catch (const CLI::CallForHelp&) {
        if (const std::string mistake = extraMistake(); !mistake.empty()) {
            return fail(mistake);
        }
        const std::string text = help();
        std::fputs(text.c_str(), out_);
        std::fflush(out_);
        return 0;
    } catch (const CLI::CallForVersion& e) {
        if (const std::string mistake = extraMistake(); !mistake.empty()) {
            return fail(mistake);
        }
        std::fprintf(out_, "%s\n", e.what());
        std::fflush(out_);
        return 0;
    } catch (const Mistake& e) {
        return fail(e.what());
    } catch (const CLI::ParseError& e) {
        if (const std::string mistake = extraMistake(); !mistake.empty()) {
            return fail(mistake);
        }
        if (dynamic_cast<const CLI::ArgumentMismatch*>(&e) != nullptr && !head.empty()) {
            // The words ran out before the option's value.
            const std::string& last = head.back();
            return fail("missing value after " + last.substr(0, last.find('=')));
        }
        if (dynamic_cast<const CLI::RequiredError*>(&e) != nullptr) {
            for (const Entry& entry : entries_) {
                if (entry.positional && entry.required && entry.names != restName_ &&
                    app_->get_option(entry.names)->count() == 0) {
                    return fail("missing " + entry.names);
                }
            }
        }
        return fail(e.what());
    }
    if (const std::string mistake = extraMistake(); !mistake.empty()) {
        return fail(mistake);
    }
    return PROCEED;
}

std::string Command::help() const {
    std::string out;
    // Usage lines.
    std::string usage = usage_;
    if (usage.empty()) {
        usage = "[OPTIONS]";
        for (const Entry& entry : entries_) {
            if (entry.positional) {
                usage += " " + (entry.required ? entry.names : "[" + entry.names + "]");
                if (entry.names == restName_) {
                    usage += " ...";
                }
            }
        }
    }
    size_t at = 0;
    bool firstLine = true;
    while (at <= usage.size()) {
        const size_t end = std::min(usage.find('\n', at), usage.size());
        out += firstLine ? "Usage: " : "  or:  ";
        out += program_ + " " + usage.substr(at, end - at) + "\n";
        firstLine = false;
        at = end + 1;
    }
    if (!summary_.empty()) {
        out += "\n";
        wrapInto(out, 0, 0, summary_);
        out += "\n";
    }

    auto entryLine = [&out](const Entry& entry) {
        std::string left = "  " + entry.names;
        if (!entry.valueName.empty()) {
            left += " " + entry.valueName;
        }
        out += left;
        if (entry.help.empty()) {
            out += "\n";
            return;
        }
        if (left.size() + 2 > HELP_COLUMN) {
            out += "\n";
            out.append(HELP_COLUMN, ' ');
        } else {
            out.append(HELP_COLUMN - left.size(), ' ');
        }
        wrapInto(out, HELP_COLUMN, HELP_COLUMN, entry.help);
        out += "\n";
    };

    bool anyPositional = false;
    for (const Entry& entry : entries_) {
        if (entry.positional) {
            if (!anyPositional) {
                out += "\nArguments:\n";
                anyPositional = true;
            }
            entryLine(entry);
        }
    }
    std::vector<std::string> groups;
    for (const Entry& entry : entries_) {
        if (!entry.positional &&
            std::find(groups.begin(), groups.end(), entry.group) == groups.end()) {
            groups.push_back(entry.group);
        }
    }
    for (const std::string& group : groups) {
        out += "\n" + group + ":\n";
        for (const Entry& entry : entries_) {
            if (!entry.positional && entry.group == group) {
                entryLine(entry);
            }
        }
    }
    if (!footer_.empty()) {
        out += "\n";
        out += footer_;
        if (footer_.back() != '\n') {
            out += "\n";
        }
    }
    return out;
}

} // namespace kestrune::args
