#include "args/config.h"

#include "args/args.h"

#include <algorithm>
#include <cctype>
#include <cstdio>

// Parse errors come back as a result, not an exception.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

namespace kestrune::args {
namespace {

// What toml++ 3.3 must not be given, none of it TOML anyway, refused here with its line: a
// control character (TOML allows none but tab and the line ends), a character that is not
// ASCII outside a string or comment, and a table header whose name does not begin with a key's
// character. On the last two its parser reaches an assertion or an "unreachable".
std::string untrustedText(std::string_view text) {
    enum class In { Code, Comment, Basic, Literal, MultiBasic, MultiLiteral };
    In in = In::Code;
    size_t line = 1;
    bool lineStart = true;
    const auto at = [&text](size_t i) { return i < text.size() ? text[i] : '\0'; };
    const auto wrong = [&line](const char* what) {
        return "line " + std::to_string(line) + ": it is not TOML: " + what;
    };
    for (size_t i = 0; i < text.size(); ++i) {
        const auto c = static_cast<unsigned char>(text[i]);
        if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
            return wrong("a control character");
        }
        if (c == '\n') {
            ++line;
            lineStart = true;
            if (in != In::MultiBasic && in != In::MultiLiteral) {
                in = In::Code;
            }
            continue;
        }
        switch (in) {
        case In::Code:
            if (c >= 0x80) {
                return wrong("a character that is not ASCII outside a string");
            }
            if (lineStart && c == '[') {
                size_t k = i + 1;
                k += at(k) == '[' ? 1 : 0;
                while (at(k) == ' ' || at(k) == '\t') {
                    ++k;
                }
                const char n = at(k);
                if (!((n >= 'A' && n <= 'Z') || (n >= 'a' && n <= 'z') || (n >= '0' && n <= '9') ||
                      n == '_' || n == '-' || n == '"' || n == '\'' || n == ']')) {
                    return wrong("a table header needs a name");
                }
            }
            if (c == '#') {
                in = In::Comment;
            } else if (c == '"' || c == '\'') {
                const bool multi = at(i + 1) == char(c) && at(i + 2) == char(c);
                in = c == '"' ? (multi ? In::MultiBasic : In::Basic)
                              : (multi ? In::MultiLiteral : In::Literal);
                i += multi ? 2 : 0;
            }
            break;
        case In::Comment:
            break;
        case In::Basic:
        case In::MultiBasic:
            if (c == '\\') {
                // The escaped character is checked as a character of the string.
                if (at(i + 1) != '\n' && at(i + 1) != '\0') {
                    ++i;
                }
            } else if (c == '"' && (in == In::Basic || (at(i + 1) == '"' && at(i + 2) == '"'))) {
                i += in == In::Basic ? 0 : 2;
                in = In::Code;
            }
            break;
        case In::Literal:
        case In::MultiLiteral:
            if (c == '\'' && (in == In::Literal || (at(i + 1) == '\'' && at(i + 2) == '\''))) {
                i += in == In::Literal ? 0 : 2;
                in = In::Code;
            }
            break;
        }
        if (c != ' ' && c != '\t') {
            lineStart = false;
        }
    }
    return "";
}

uint32_t lineOf(const toml::node& node) {
    return node.source().begin.line;
}

std::string at(uint32_t line, const std::string& key, const std::string& what) {
    return "line " + std::to_string(line) + ": " + key + ": " + what;
}

// A string, a number or a boolean as the command line would spell it; false for anything else.
bool scalarText(const toml::node& node, std::string& text) {
    if (const auto* s = node.as_string()) {
        text = s->get();
    } else if (const auto* i = node.as_integer()) {
        text = std::to_string(i->get());
    } else if (const auto* f = node.as_floating_point()) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.15g", f->get());
        text = buffer;
    } else {
        return false;
    }
    return true;
}

std::string namedTables(const toml::array& tables, const NamedTables& shape, ConfigEntry& entry) {
    std::map<std::string, uint32_t> names, values;
    for (const toml::node& node : tables) {
        const toml::table& table = *node.as_table();
        const uint32_t line = lineOf(node);
        std::string name, value;
        bool hasValue = false;
        for (const auto& [field, fieldValue] : table) {
            const std::string fieldName(field.str());
            const uint32_t fieldLine = lineOf(fieldValue);
            const auto* text = fieldValue.as_string();
            if (fieldName != shape.name && fieldName != shape.value) {
                return at(fieldLine, shape.key + "." + fieldName,
                          "unknown key (a " + shape.key + " has " + shape.name + " and " +
                              shape.value + ")");
            }
            if (text == nullptr || text->get().empty()) {
                return at(fieldLine, shape.key + "." + fieldName, "needs a string");
            }
            if (fieldName == shape.name) {
                name = text->get();
            } else {
                value = text->get();
                hasValue = true;
            }
            std::map<std::string, uint32_t>& seen = fieldName == shape.name ? names : values;
            if (const auto [first, added] = seen.emplace(text->get(), fieldLine); !added) {
                return at(fieldLine, shape.key + "." + fieldName,
                          text->get() + " is given twice (first on line " +
                              std::to_string(first->second) + ")");
            }
        }
        if (!hasValue) {
            return at(line, shape.key, "a " + shape.key + " needs its " + shape.value);
        }
        entry.values.push_back(name.empty() ? value : name + "=" + value);
    }
    return "";
}

std::string entryOf(const std::string& key, const toml::node& node, const NamedTables& shape,
                    ConfigEntry& entry) {
    entry.key = key;
    entry.line = lineOf(node);
    std::string text;
    if (const auto* flag = node.as_boolean()) {
        entry.kind = ConfigKind::Flag;
        entry.values.push_back(flag->get() ? "true" : "false");
        return "";
    }
    if (scalarText(node, text)) {
        entry.values.push_back(text);
        return "";
    }
    const auto* array = node.as_array();
    if (array == nullptr) {
        return at(entry.line, key,
                  node.is_table() ? "unknown table" : "needs a string, a number or true/false");
    }
    entry.kind = ConfigKind::List;
    if (!array->empty() && array->is_array_of_tables() && key == shape.key) {
        return namedTables(*array, shape, entry);
    }
    for (const toml::node& item : *array) {
        if (!scalarText(item, text)) {
            return at(lineOf(item), key, "a list of strings or numbers only");
        }
        entry.values.push_back(text);
    }
    return "";
}

// The key that names `opt` in a file: its long name, or a positional's name in lower case.
std::string keyOf(const CLI::Option& opt) {
    if (opt.get_positional()) {
        std::string name = opt.get_name();
        std::transform(name.begin(), name.end(), name.begin(),
                       [](unsigned char c) { return char(std::tolower(c)); });
        return name;
    }
    return opt.get_lnames().empty() ? std::string() : opt.get_lnames().front();
}

bool isFlag(const CLI::Option& opt) {
    return opt.get_expected_max() == 0;
}
bool isList(const CLI::Option& opt) {
    return opt.get_items_expected_max() > 1;
}

std::string joined(const std::vector<std::string>& values) {
    std::string text;
    for (const std::string& value : values) {
        text += (text.empty() ? "" : ", ") + value;
    }
    return text;
}

// "needs a number from 0 to 100, not 300" of a refusal "--retries: needs ...".
std::string reasonOf(const CLI::Error& e) {
    const std::string text = e.what();
    const size_t colon = text.find(": ");
    return colon == std::string::npos ? text : text.substr(colon + 2);
}

} // namespace

std::string readConfig(std::string_view text, const NamedTables& tables,
                       std::vector<ConfigEntry>& entries) {
    entries.clear();
    if (std::string wrong = untrustedText(text); !wrong.empty()) {
        return wrong;
    }
    toml::parse_result parsed = toml::parse(text);
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        return "line " + std::to_string(error.source().begin.line) + ": " +
               std::string(error.description());
    }
    for (const auto& [key, node] : parsed.table()) {
        ConfigEntry entry;
        if (std::string wrong = entryOf(std::string(key.str()), node, tables, entry);
            !wrong.empty()) {
            entries.clear();
            return wrong;
        }
        entries.push_back(std::move(entry));
    }
    // toml++ keeps a table's keys in order of name: the file's order reads better.
    std::stable_sort(entries.begin(), entries.end(),
                     [](const ConfigEntry& a, const ConfigEntry& b) { return a.line < b.line; });
    return "";
}

std::vector<ConfigSource> applyConfig(CLI::App& command, const std::string& file,
                                      const std::vector<ConfigEntry>& entries,
                                      const std::vector<std::string>& refused) {
    const auto left = [&refused](const std::string& key) {
        return key.empty() || key == "help" ||
               std::find(refused.begin(), refused.end(), key) != refused.end();
    };
    std::map<std::string, std::string> fromFile;
    std::map<std::string, bool> onLine;
    for (const CLI::Option* opt : command.get_options()) {
        onLine[keyOf(*opt)] = opt->count() != 0;
    }
    for (const ConfigEntry& entry : entries) {
        const std::string where = file + ":" + std::to_string(entry.line) + ": " + entry.key + ": ";
        CLI::Option* opt = nullptr;
        for (CLI::Option* candidate : command.get_options()) {
            if (keyOf(*candidate) == entry.key) {
                opt = candidate;
            }
        }
        if (opt == nullptr || left(entry.key)) {
            throw Mistake(file + ":" + std::to_string(entry.line) + ": unknown key " + entry.key +
                          (opt == nullptr ? "" : " (a command-line option only)"));
        }
        if (isFlag(*opt) != (entry.kind == ConfigKind::Flag)) {
            throw Mistake(where + (isFlag(*opt) ? "needs true or false"
                                                : "needs a value, not " + entry.values.front()));
        }
        if (entry.kind == ConfigKind::List && !isList(*opt)) {
            throw Mistake(where + "takes one value, not a list");
        }
        if (onLine[entry.key]) {
            continue; // the command line wins
        }
        try {
            opt->add_result(entry.values);
            opt->run_callback();
        } catch (const CLI::Error& e) {
            throw Mistake(where + reasonOf(e));
        }
        fromFile[entry.key] = file + " line " + std::to_string(entry.line);
    }
    std::vector<ConfigSource> sources;
    for (CLI::Option* opt : command.get_options()) {
        const std::string key = keyOf(*opt);
        if (left(key)) {
            continue;
        }
        ConfigSource source{key, "", "default"};
        if (opt->count() != 0) {
            source.value = joined(opt->results());
            source.source = onLine[key] ? "command line" : fromFile[key];
        } else {
            opt->capture_default_str();
            source.value = opt->get_default_str();
            if (isFlag(*opt) && source.value.empty()) {
                source.value = "false";
            }
        }
        sources.push_back(std::move(source));
    }
    return sources;
}

} // namespace kestrune::args
