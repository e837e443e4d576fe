#include "release/release.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>

// Parse errors come back as a result, not an exception.
#define TOML_EXCEPTIONS 0
#include <toml++/toml.h>

namespace kestrune::release {
namespace {

std::string hex4(uint32_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", value & 0xFFFFu);
    return text;
}

std::string describeRange(const VersionRange& range) {
    if (range.from == range.to) {
        return hex4(range.from);
    }
    return hex4(range.from) + "-" + hex4(range.to);
}

bool overlap(const VersionRange& a, const VersionRange& b) {
    return a.any || b.any || (a.from <= b.to && b.from <= a.to);
}

int64_t epochMs(const toml::date_time& when) {
    using namespace std::chrono;
    const sys_days day = year_month_day(year(when.date.year), month(when.date.month),
                                        std::chrono::day(when.date.day));
    const int64_t seconds = duration_cast<std::chrono::seconds>(day.time_since_epoch()).count() +
                            when.time.hour * 3600 + when.time.minute * 60 + when.time.second -
                            int64_t(when.offset->minutes) * 60;
    return seconds * 1000 + when.time.nanosecond / 1000000;
}

// One entry's table. `name` is how a sentence names it so far (the label, once read, is added).
class EntryReader {
public:
    EntryReader(const toml::table& table, size_t index) : table_(table), index_(index) {}

    std::string read(const std::string& dir, ReleaseEntry& entry) {
        static constexpr std::string_view KNOWN[] = {"file", "sha256", "size",    "label",
                                                     "oui",  "model",  "version", "over"};
        for (const auto& [key, value] : table_) {
            bool known = false;
            for (const std::string_view k : KNOWN) {
                known = known || key.str() == k;
            }
            if (!known) {
                return name() + " has an unknown key " + std::string(key.str()) +
                       " (file, sha256, size, label, oui, model, version, over)";
            }
        }
        const std::optional<std::string> label = table_["label"].value<std::string>();
        if (!label || label->empty() || label->size() > 64) {
            return name() +
                   " needs a label of 1 to 64 characters (the software version it installs)";
        }
        for (const char c : *label) {
            if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\' || c == 0x7F) {
                return name() + " has a label with a control character, a quote or a backslash";
            }
        }
        entry.label = *label;
        const std::optional<std::string> file = table_["file"].value<std::string>();
        if (!file || file->empty()) {
            return name() + " needs a file (the image, relative to the release file)";
        }
        entry.file = *file;
        name_ = " (" + entry.label + ", " + entry.file + ")";
        entry.path = dir.empty() || std::filesystem::path(*file).is_absolute()
                         ? *file
                         : (std::filesystem::path(dir) / *file).string();
        const std::optional<std::string> sha = table_["sha256"].value<std::string>();
        if (!sha || sha->size() != 64 ||
            sha->find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return name() + " needs a sha256 of 64 hexadecimal digits";
        }
        entry.sha256.clear();
        for (const char c : *sha) {
            entry.sha256 += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        }
        const std::optional<int64_t> size = table_["size"].value<int64_t>();
        if (!size || *size <= 0 || *size >= 0xFFFFFFFF) {
            return name() + " needs a size in bytes (1 to 4,294,967,294)";
        }
        entry.size = static_cast<uint64_t>(*size);
        if (!readOui(entry.oui)) {
            return name() + " needs the OUI of the boxes' makers (\"00-A0-B1\" or 0x00A0B1)";
        }
        const std::optional<int64_t> model = table_["model"].value<int64_t>();
        if (!model || *model < 0 || *model > 0xFFFF) {
            return name() + " needs the boxes' hardware model (0x0000 to 0xFFFF)";
        }
        entry.model = static_cast<uint16_t>(*model);
        if (std::string wrong = readRange("version", entry.versions); !wrong.empty()) {
            return wrong;
        }
        if (std::string wrong = readRange("over", entry.over); !wrong.empty()) {
            return wrong;
        }
        if (entry.versions.empty() || entry.over.empty()) {
            return name() + " fits no box: its " + (entry.versions.empty() ? "version" : "over") +
                   " range " + describeRange(entry.versions.empty() ? entry.versions : entry.over) +
                   " is empty";
        }
        return "";
    }

private:
    std::string name() const { return "image " + std::to_string(index_ + 1) + name_; }

    bool readOui(uint32_t& oui) const {
        const toml::node_view<const toml::node> node = table_["oui"];
        if (const std::optional<int64_t> value = node.value<int64_t>();
            value && node.is_integer()) {
            oui = static_cast<uint32_t>(*value);
            return *value >= 0 && *value <= 0xFFFFFF;
        }
        const std::optional<std::string> text = node.value<std::string>();
        return text && parseOui(*text, oui);
    }

    // A version (0x0203) or a range ({ from = 0x0200, to = 0x02FF }); absent: every version.
    std::string readRange(const char* key, VersionRange& range) const {
        const toml::node_view<const toml::node> node = table_[key];
        range = {};
        if (!node) {
            return "";
        }
        const std::string wrong = name() + " has a " + key +
                                  " that is neither a version (0x0203) nor a range ({ from = "
                                  "0x0200, to = 0x02FF }) of 0x0000 to 0xFFFF";
        const auto version = [](toml::node_view<const toml::node> n, uint16_t& out) {
            if (!n.is_integer()) {
                return false;
            }
            const int64_t v = *n.value<int64_t>();
            out = static_cast<uint16_t>(v);
            return v >= 0 && v <= 0xFFFF;
        };
        range.any = false;
        if (node.is_integer()) {
            if (!version(node, range.from)) {
                return wrong;
            }
            range.to = range.from;
            return "";
        }
        const toml::table* table = node.as_table();
        if (table == nullptr || table->size() != 2 || !version((*table)["from"], range.from) ||
            !version((*table)["to"], range.to)) {
            return wrong;
        }
        return "";
    }

    const toml::table& table_;
    size_t index_;
    std::string name_;
};

// What toml++ 3.3 must not be given, all of it not TOML anyway and refused here with its line:
// a control character (TOML allows none but tab and the line ends), a character that is not
// ASCII outside a string or comment, and a table header whose name does not begin with a key's
// character. On the last two its parser reaches an assertion or an "unreachable" (undefined
// behaviour once those are compiled out).
std::string untrustedText(std::string_view text) {
    enum class In { Code, Comment, Basic, Literal, MultiBasic, MultiLiteral };
    In in = In::Code;
    size_t line = 1;
    bool lineStart = true;
    const auto at = [&text](size_t i) { return i < text.size() ? text[i] : '\0'; };
    const auto wrong = [&line](const char* what) {
        return "it is not TOML: line " + std::to_string(line) + ": " + what;
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

} // namespace

std::string entryName(const Release& release, size_t index) {
    const ReleaseEntry& entry = release.entries[index];
    return "image " + std::to_string(index + 1) + " (" + entry.label + ", " + entry.file + ")";
}

std::string parseRelease(std::string_view text, const std::string& dir, Release& release) {
    release = {};
    if (std::string wrong = untrustedText(text); !wrong.empty()) {
        return wrong;
    }
    toml::parse_result parsed = toml::parse(text);
    if (!parsed) {
        const toml::parse_error& error = parsed.error();
        return "it is not TOML: line " + std::to_string(error.source().begin.line) + ": " +
               std::string(error.description());
    }
    const toml::table& top = parsed.table();
    for (const auto& [key, value] : top) {
        if (key.str() != "name" && key.str() != "expires" && key.str() != "image") {
            return "it has an unknown key " + std::string(key.str()) + " (name, expires, image)";
        }
    }
    const std::optional<std::string> name = top["name"].value<std::string>();
    if (!name || name->empty()) {
        return "it needs a name (for example name = \"VB-2000 and VB-2100, lot 4711\")";
    }
    release.name = *name;
    if (const toml::node_view<const toml::node> expires = top["expires"]) {
        const std::optional<toml::date_time> when = expires.value<toml::date_time>();
        if (!when || !when->offset) {
            return "its expires needs a date and time with its zone (2027-03-31T18:00:00Z)";
        }
        release.expires = true;
        release.expiresMs = epochMs(*when);
        std::ostringstream out;
        out << *when;
        release.expiresText = out.str();
    }
    const toml::array* images = top["image"].as_array();
    if (images == nullptr || images->empty() || !images->is_array_of_tables()) {
        return "it needs at least one [[image]]";
    }
    for (size_t i = 0; i < images->size(); ++i) {
        ReleaseEntry entry;
        EntryReader reader(*images->get(i)->as_table(), i);
        if (std::string wrong = reader.read(dir, entry); !wrong.empty()) {
            return wrong;
        }
        release.entries.push_back(std::move(entry));
    }
    for (size_t i = 0; i < release.entries.size(); ++i) {
        for (size_t k = 0; k < i; ++k) {
            const ReleaseEntry& a = release.entries[k];
            const ReleaseEntry& b = release.entries[i];
            if (a.label == b.label) {
                return entryName(release, i) + " has the label of " + entryName(release, k) +
                       ": each image needs its own";
            }
            if (a.oui == b.oui && a.model == b.model && overlap(a.versions, b.versions) &&
                overlap(a.over, b.over)) {
                return entryName(release, k) + " and " + entryName(release, i) +
                       " would both fit a box of " + describeBoxes(b) +
                       ": a box must fit one image at most";
            }
        }
    }
    return "";
}

bool expired(const Release& release, int64_t nowMs) {
    return release.expires && nowMs >= release.expiresMs;
}

int findEntry(const Release& release, const SystemDescriptor& hardware,
              const SystemDescriptor& software) {
    if (!hardware.hasOui()) {
        return -1;
    }
    for (size_t i = 0; i < release.entries.size(); ++i) {
        const ReleaseEntry& e = release.entries[i];
        if (e.oui == hardware.specifierData && e.model == hardware.model &&
            e.versions.contains(hardware.version) &&
            (e.over.any || (software.present && e.over.contains(software.version)))) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::string describeNoEntry(const Release& release, const SystemDescriptor& hardware,
                            const SystemDescriptor& software) {
    std::string text = "no image of release " + release.name + " for";
    bool ouiKnown = false;
    bool hardwareFits = false;
    for (const ReleaseEntry& e : release.entries) {
        ouiKnown = ouiKnown || (hardware.hasOui() && e.oui == hardware.specifierData);
        hardwareFits =
            hardwareFits || (hardware.hasOui() && e.oui == hardware.specifierData &&
                             e.model == hardware.model && e.versions.contains(hardware.version));
    }
    if (hardware.hasOui() && !ouiKnown) {
        text += " OUI " + formatOui(hardware.specifierData);
    }
    text += " model " + hex4(hardware.model) + " version " + hex4(hardware.version);
    if (!hardware.hasOui()) {
        text += " (its hardware descriptor carries no OUI)";
    } else if (hardwareFits) {
        text += software.present ? " over software version " + hex4(software.version)
                                 : " without a software descriptor";
    }
    return text;
}

std::string describeBoxes(const ReleaseEntry& entry) {
    std::string text = "OUI " + formatOui(entry.oui) + " model " + hex4(entry.model);
    if (!entry.versions.any) {
        text += (entry.versions.from == entry.versions.to ? " version " : " versions ") +
                describeRange(entry.versions);
    }
    if (!entry.over.any) {
        text += ", over software " + describeRange(entry.over);
    }
    return text;
}

} // namespace kestrune::release
