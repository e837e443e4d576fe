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

// The TOML a config file may hold, checked before toml++ 3.3 sees it: that parser reaches an
// assertion or an "unreachable" on many malformed texts (the fuzz target found one after the
// other: "a=[}", "1980-02-27 2", a number that runs into a quote...), so it only ever gets
// well-formed text of the shapes a config has. Comments, blank lines, `[table]` and
// `[[table]]` headers, and `key = value` lines, where a key is bare or quoted and a value is
// a one-line string, a decimal or 0x number, true or false, or a list of those (over several
// lines if need be). All of it ASCII: a string spells other characters as \uXXXX.
class Checker {
public:
    explicit Checker(std::string_view text) : text_(text) {}

    std::string run() {
        for (size_t i = 0; i < text_.size(); ++i) {
            const auto c = static_cast<unsigned char>(text_[i]);
            if (c >= 0x80) {
                return "line " + std::to_string(lineAt(i)) +
                       ": a character that is not ASCII (in a string, write it as \\uXXXX)";
            }
            if ((c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0x7F) {
                return "line " + std::to_string(lineAt(i)) + ": a control character";
            }
        }
        while (at_ < text_.size() && wrong_.empty()) {
            line();
        }
        return wrong_;
    }

private:
    char peek(size_t ahead = 0) const {
        return at_ + ahead < text_.size() ? text_[at_ + ahead] : '\0';
    }
    size_t lineAt(size_t pos) const {
        const size_t end = std::min(pos, text_.size());
        return 1 + size_t(std::count(text_.begin(), text_.begin() + long(end), '\n'));
    }
    bool fail(const char* what) {
        if (wrong_.empty()) {
            wrong_ = "line " + std::to_string(lineAt(at_)) + ": " + what;
        }
        return false;
    }
    void blanks() {
        while (peek() == ' ' || peek() == '\t') {
            ++at_;
        }
    }
    // The rest of a line: blanks, a comment, the line's end.
    bool lineEnd() {
        blanks();
        if (peek() == '#') {
            while (at_ < text_.size() && peek() != '\n') {
                ++at_;
            }
        }
        if (peek() == '\r' && peek(1) == '\n') {
            ++at_;
        }
        if (at_ >= text_.size()) {
            return true;
        }
        if (peek() != '\n') {
            return fail("something more after the value (one setting a line)");
        }
        ++at_;
        return true;
    }
    // Blanks, comments and line ends inside a list.
    bool gaps() {
        for (;;) {
            blanks();
            if (peek() == '#' || peek() == '\n' || peek() == '\r') {
                if (!lineEnd()) {
                    return false;
                }
            } else {
                return true;
            }
        }
    }
    static bool bare(char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '_' || c == '-';
    }
    static bool hex(char c) {
        return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
    }
    bool string() {
        const char quote = peek();
        if (peek(1) == quote && peek(2) == quote) {
            return fail("a string over several lines (write it on one line)");
        }
        ++at_;
        for (;;) {
            const char c = peek();
            if (at_ >= text_.size() || c == '\n' || c == '\r') {
                return fail("a string that does not end on its line");
            }
            ++at_;
            if (c == quote) {
                return true;
            }
            if (quote == '"' && c == '\\') {
                const char e = peek();
                ++at_;
                size_t digits = e == 'u' ? 4 : e == 'U' ? 8 : 0;
                if (digits == 0 &&
                    std::string_view("\"\\bfnrt").find(e) == std::string_view::npos) {
                    return fail("an escape in a string that TOML does not have");
                }
                for (; digits > 0; --digits, ++at_) {
                    if (!hex(peek())) {
                        return fail("a \\u escape needs its hexadecimal digits");
                    }
                }
            }
        }
    }
    bool key() {
        if (peek() == '"' || peek() == '\'') {
            return string();
        }
        if (!bare(peek())) {
            return fail("a key needs a name");
        }
        while (bare(peek())) {
            ++at_;
        }
        return true;
    }
    bool digits() {
        if (peek() < '0' || peek() > '9') {
            return fail("a number needs its digits");
        }
        while (peek() >= '0' && peek() <= '9') {
            ++at_;
        }
        return true;
    }
    bool number() {
        if (peek() == '0' && peek(1) == 'x') {
            at_ += 2;
            if (!hex(peek())) {
                return fail("a 0x number needs its digits");
            }
            while (hex(peek())) {
                ++at_;
            }
        } else {
            if (peek() == '+' || peek() == '-') {
                ++at_;
            }
            if (peek() == '0' && peek(1) >= '0' && peek(1) <= '9') {
                return fail("a number that begins with 0");
            }
            if (!digits()) {
                return false;
            }
            if (peek() == '.') {
                ++at_;
                if (!digits()) {
                    return false;
                }
            }
            if (peek() == 'e' || peek() == 'E') {
                ++at_;
                if (peek() == '+' || peek() == '-') {
                    ++at_;
                }
                if (!digits()) {
                    return false;
                }
            }
        }
        if (bare(peek()) || peek() == '.' || peek() == ':' || peek() == '"' || peek() == '\'') {
            return fail("a value that is not a string, a number, true or false (a date or a "
                        "time, or a string without its quotes?)");
        }
        return true;
    }
    bool word() {
        for (const std::string_view w : {"true", "false"}) {
            if (text_.substr(at_, w.size()) == w &&
                !bare(at_ + w.size() < text_.size() ? text_[at_ + w.size()] : ' ')) {
                at_ += w.size();
                return true;
            }
        }
        return fail("a value that is not a string, a number, true or false (a string without "
                    "its quotes?)");
    }
    bool scalar() {
        const char c = peek();
        if (c == '"' || c == '\'') {
            return string();
        }
        if ((c >= '0' && c <= '9') || c == '+' || c == '-') {
            return number();
        }
        if (c == '[') {
            return fail("a list in a list");
        }
        if (c == '{') {
            return fail("an inline table (give a table of its own)");
        }
        return word();
    }
    bool list() {
        ++at_; // [
        if (!gaps()) {
            return false;
        }
        while (peek() != ']') {
            if (!scalar() || !gaps()) {
                return false;
            }
            if (peek() == ',') {
                ++at_;
                if (!gaps()) {
                    return false;
                }
            } else if (peek() != ']') {
                return fail("a list needs a comma between its values, and ] at its end");
            }
        }
        ++at_; // ]
        return true;
    }
    void line() {
        blanks();
        const char c = peek();
        if (c == '#' || c == '\n' || c == '\r' || at_ >= text_.size()) {
            lineEnd();
            return;
        }
        if (c == '[') {
            const bool array = peek(1) == '[';
            at_ += array ? 2 : 1;
            blanks();
            if (!key()) {
                return;
            }
            blanks();
            if (peek() != ']' || (array && peek(1) != ']')) {
                fail(array ? "a table header needs ]] at its end"
                           : "a table header needs ] at its end");
                return;
            }
            at_ += array ? 2 : 1;
            lineEnd();
            return;
        }
        if (!key()) {
            return;
        }
        blanks();
        if (peek() != '=') {
            fail(peek() == '.' ? "a dotted key (give a table of its own)"
                               : "a key needs = and its value");
            return;
        }
        ++at_;
        blanks();
        if (peek() == '\n' || peek() == '\r' || peek() == '#' || at_ >= text_.size()) {
            fail("a value must follow =");
            return;
        }
        if ((peek() == '[' ? list() : scalar())) {
            lineEnd();
        }
    }

    std::string_view text_;
    size_t at_ = 0;
    std::string wrong_;
};

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
    if (std::string wrong = Checker(text).run(); !wrong.empty()) {
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
        if (key.str().empty()) {
            entries.clear();
            return "line " + std::to_string(key.source().begin.line) + ": a key needs a name";
        }
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
