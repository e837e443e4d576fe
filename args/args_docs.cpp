// The man page and the bash completion of a program, written from its CLI::App tree: every
// command, every option with its value's name and help, the arguments and the footers. The
// hidden options --man-page and --bash-completion print them (the build installs their
// output), so neither can drift from the options the program takes.
#include "args/args.h"

#include <algorithm>
#include <cctype>
#include <sstream>

namespace kestrune::args {

namespace {

std::vector<const CLI::App*> commandsOf(const CLI::App& app) {
    return app.get_subcommands([](const CLI::App* sub) { return !sub->get_name().empty(); });
}

std::vector<const CLI::Option*> shownOptions(const CLI::App& app, bool positional) {
    return app.get_options([positional](const CLI::Option* opt) {
        return !opt->get_group().empty() && opt->get_positional() == positional;
    });
}

std::vector<std::string> optionNames(const CLI::Option& opt) {
    std::vector<std::string> names;
    for (const std::string& s : opt.get_snames()) {
        names.push_back("-" + s);
    }
    for (const std::string& l : opt.get_lnames()) {
        names.push_back("--" + l);
    }
    return names;
}

// ---- roff

// Text as roff reads it literally: backslashes escaped, hyphens as minus signs (they are
// options and commands to type), no line taken for a request.
std::string roff(const std::string& text) {
    std::string out;
    bool lineStart = true;
    for (const char c : text) {
        if (lineStart && (c == '.' || c == '\'')) {
            out += "\\&";
        }
        if (c == '\\') {
            out += "\\e";
        } else if (c == '-') {
            out += "\\-";
        } else {
            out += c;
        }
        lineStart = c == '\n';
    }
    return out;
}

std::string upper(std::string text) {
    std::transform(text.begin(), text.end(), text.begin(),
                   [](unsigned char c) { return char(std::toupper(c)); });
    return text;
}

std::string synopsis(const CLI::App& app) {
    std::string line = ".B " + roff(commandName(app)) + "\n[\\fIOPTIONS\\fR]";
    for (const CLI::Option* opt : shownOptions(app, true)) {
        const std::string name = "\\fI" + roff(opt->get_name()) + "\\fR";
        line += opt->get_required() ? " " + name : " [" + name + "]";
    }
    if (!commandsOf(app).empty()) {
        line += " \\fICOMMAND\\fR [\\fIOPTIONS\\fR] ...";
    }
    return line + "\n";
}

void entries(std::ostringstream& out, const std::vector<const CLI::Option*>& opts,
             bool positional) {
    for (const CLI::Option* opt : opts) {
        out << ".TP\n";
        if (positional) {
            out << "\\fI" << roff(opt->get_name()) << "\\fR\n";
        } else {
            std::string names;
            for (const std::string& name : optionNames(*opt)) {
                names += (names.empty() ? "" : ", ") + ("\\fB" + roff(name) + "\\fR");
            }
            if (opt->get_expected_min() > 0 && !opt->get_type_name().empty()) {
                names += " \\fI" + roff(opt->get_type_name()) + "\\fR";
            }
            out << names << "\n";
        }
        out << roff(opt->get_description()) << "\n";
    }
}

// The options under their groups' titles (`level` is SH or SS).
void optionSections(std::ostringstream& out, const CLI::App& app, const std::string& level) {
    if (const auto positionals = shownOptions(app, true); !positionals.empty()) {
        out << "." << level << " ARGUMENTS\n";
        entries(out, positionals, true);
    }
    for (const std::string& group : app.get_groups()) {
        std::vector<const CLI::Option*> opts;
        for (const CLI::Option* opt : shownOptions(app, false)) {
            if (opt->get_group() == group) {
                opts.push_back(opt);
            }
        }
        if (!opts.empty()) {
            out << "." << level << " \"" << roff(upper(group)) << "\"\n";
            entries(out, opts, false);
        }
    }
}

// A footer's paragraphs as the help shows them, line for line; one that opens with a title
// ("Exit status:", "Example:") gets a subsection of its own.
void footer(std::ostringstream& out, const std::string& text) {
    std::istringstream lines(text + "\n");
    std::string line;
    std::vector<std::string> block;
    auto flush = [&out, &block]() {
        if (block.empty()) {
            return;
        }
        size_t first = 0;
        const std::string& head = block.front();
        if (head.size() > 1 && head.back() == ':' && head.find(": ") == std::string::npos &&
            head.size() < 40) {
            out << ".SS \"" << roff(head) << "\"\n";
            first = 1;
        }
        out << ".PP\n.nf\n";
        for (size_t i = first; i < block.size(); ++i) {
            out << roff(block[i]) << "\n";
        }
        out << ".fi\n";
        block.clear();
    };
    while (std::getline(lines, line)) {
        if (line.empty()) {
            flush();
        } else {
            block.push_back(line);
        }
    }
    flush();
}

// ---- bash

std::string shellWords(const std::vector<std::string>& words) {
    std::string out;
    for (const std::string& word : words) {
        out += (out.empty() ? "" : " ") + word;
    }
    return out;
}

std::string functionName(const CLI::App& root) {
    std::string name = "_" + root.get_name();
    std::replace(name.begin(), name.end(), '-', '_');
    return name;
}

// How a value is completed, from its name: devices, folders, files, commands or nothing.
std::string valueCompletion(const std::string& valueName, const std::string& fn) {
    if (valueName == "DEVICE") {
        return fn + "_devices";
    }
    if (valueName == "DIR") {
        return "mapfile -t COMPREPLY < <(compgen -d -- \"$cur\")";
    }
    if (valueName == "FILE" || valueName == "PATH" || valueName == "IMAGE" ||
        valueName == "CAPTURE.pcap") {
        return "mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")";
    }
    if (valueName == "COMMAND") {
        return "mapfile -t COMPREPLY < <(compgen -W \"$commands\" -- \"$cur\")";
    }
    return ":";
}

} // namespace

std::string manPage(const CLI::App& root, const std::string& whatis, const std::string& version) {
    std::ostringstream out;
    const std::string name = root.get_name();
    out << ".\\\" Written by " << roff(name) << " --man-page from its argument definition.\n";
    // The header's words are titles, not commands: their hyphens stay hyphens.
    out << ".TH " << upper(name) << " \"1\" \"\" \"" << name << " " << version
        << "\" \"User Commands\"\n";
    out << ".SH NAME\n" << roff(name) << " \\- " << roff(whatis) << "\n";
    out << ".SH SYNOPSIS\n" << synopsis(root);
    for (const CLI::App* command : commandsOf(root)) {
        out << ".br\n" << synopsis(*command);
    }
    out << ".SH DESCRIPTION\n" << roff(root.get_description()) << "\n";
    optionSections(out, root, "SH");
    if (!commandsOf(root).empty()) {
        out << ".SH COMMANDS\n";
        for (const CLI::App* command : commandsOf(root)) {
            out << ".TP\n\\fB" << roff(command->get_name()) << "\\fR\n"
                << roff(summary(*command)) << "\n";
        }
    }
    footer(out, root.get_footer());
    for (const CLI::App* command : commandsOf(root)) {
        out << ".SH \"COMMAND " << roff(upper(command->get_name())) << "\"\n"
            << synopsis(*command) << ".PP\n"
            << roff(command->get_description()) << "\n";
        optionSections(out, *command, "SS");
        footer(out, command->get_footer());
    }
    return out.str();
}

std::string bashCompletion(const CLI::App& root) {
    const std::string fn = functionName(root);
    const std::string program = root.get_name();
    std::vector<std::string> commandNames;
    for (const CLI::App* command : commandsOf(root)) {
        commandNames.push_back(command->get_name());
    }
    std::ostringstream out;
    out << "# bash completion for " << program << ", written by `" << program
        << " --bash-completion`\n# from its argument definition.\n\n";
    out << "# Serial devices: the USB adapters and the built-in ports first.\n"
        << fn << "_devices() {\n"
        << "    if [[ -z $cur ]]; then\n"
        << "        mapfile -t COMPREPLY < <(\n"
        << "            compgen -G '/dev/ttyUSB*'\n"
        << "            compgen -G '/dev/ttyACM*'\n"
        << "            compgen -G '/dev/ttyS[0-9]'\n"
        << "        )\n"
        << "        COMPREPLY+=(COM1 COM2)\n"
        << "    else\n"
        << "        mapfile -t COMPREPLY < <(compgen -f -- \"$cur\")\n"
        << "    fi\n"
        << "}\n\n";
    out << fn << "() {\n"
        << "    local cur=\"${COMP_WORDS[COMP_CWORD]}\" prev=\"${COMP_WORDS[COMP_CWORD - 1]}\"\n"
        << "    local command=\"\" commands=\"" << shellWords(commandNames) << "\" i\n"
        << "    COMPREPLY=()\n";
    if (!commandNames.empty()) {
        // The first command name on the line chooses the command.
        std::string patterns;
        for (const std::string& c : commandNames) {
            patterns += (patterns.empty() ? "" : " | ") + c;
        }
        out << "    for ((i = 1; i < COMP_CWORD; i++)); do\n"
            << "        case \"${COMP_WORDS[i]}\" in\n"
            << "        " << patterns << ")\n"
            << "            command=\"${COMP_WORDS[i]}\"\n"
            << "            break\n"
            << "            ;;\n"
            << "        esac\n"
            << "    done\n";
    }
    std::vector<const CLI::App*> apps{&root};
    for (const CLI::App* command : commandsOf(root)) {
        apps.push_back(command);
    }
    // Per command: the value of an option, then an option, then an argument.
    out << "    local options=\"\" argument=\"\"\n"
        << "    case \"$command\" in\n";
    for (const CLI::App* app : apps) {
        std::vector<std::string> names;
        for (const CLI::Option* opt : shownOptions(*app, false)) {
            for (const std::string& name : optionNames(*opt)) {
                names.push_back(name);
            }
        }
        const auto positionals = shownOptions(*app, true);
        std::string argument = app == &root && !commandNames.empty() ? "COMMAND" : "";
        if (!positionals.empty()) {
            argument = positionals.front()->get_type_name();
            if (argument.empty() || argument == "TEXT") {
                argument = positionals.front()->get_name();
            }
        }
        out << "    \"" << (app == &root ? "" : app->get_name()) << "\")\n"
            << "        options=\"" << shellWords(names) << "\"\n"
            << "        argument=\"" << argument << "\"\n"
            << "        case \"$prev\" in\n";
        for (const CLI::Option* opt : shownOptions(*app, false)) {
            if (opt->get_expected_min() == 0) {
                continue;
            }
            std::string patterns;
            for (const std::string& name : optionNames(*opt)) {
                patterns += (patterns.empty() ? "" : " | ") + name;
            }
            out << "        " << patterns << ")\n"
                << "            " << valueCompletion(opt->get_type_name(), fn) << "\n"
                << "            return\n"
                << "            ;;\n";
        }
        out << "        esac\n"
            << "        ;;\n";
    }
    out << "    esac\n"
        << "    if [[ $cur == -* ]]; then\n"
        << "        mapfile -t COMPREPLY < <(compgen -W \"$options\" -- \"$cur\")\n"
        << "        return\n"
        << "    fi\n"
        << "    case \"$argument\" in\n"
        << "    COMMAND) " << valueCompletion("COMMAND", fn) << " ;;\n"
        << "    \"\") ;;\n"
        << "    *) " << valueCompletion("FILE", fn) << " ;;\n"
        << "    esac\n"
        << "}\n\n"
        << "complete -o filenames -F " << fn << " " << program << "\n";
    return out.str();
}

} // namespace kestrune::args
