#include "release/release.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <nlohmann/json.hpp>

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

// "2027-03-31T18:00:00Z", "2027-03-31T20:00:00.5+02:00": milliseconds since 1970; false for
// anything else (a time needs its zone: a line in another one must not read it otherwise).
bool readTime(const std::string& text, int64_t& ms) {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0, used = 0;
    if (std::sscanf(text.c_str(), "%4d-%2d-%2dT%2d:%2d:%2d%n", &year, &month, &day, &hour, &minute,
                    &second, &used) != 6 ||
        used != 19 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
        second > 60) {
        return false;
    }
    size_t at = 19;
    int64_t fraction = 0;
    if (at < text.size() && text[at] == '.') {
        int64_t scale = 100;
        for (++at; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++at) {
            fraction += (text[at] - '0') * scale;
            scale /= 10;
        }
    }
    int offset = 0;
    if (text.substr(at) != "Z") {
        int hours = 0, minutes = 0;
        if (text.size() != at + 6 || (text[at] != '+' && text[at] != '-') ||
            std::sscanf(text.c_str() + at + 1, "%2d:%2d", &hours, &minutes) != 2 ||
            text[at + 3] != ':' || hours > 23 || minutes > 59) {
            return false;
        }
        offset = (text[at] == '-' ? -1 : 1) * (hours * 60 + minutes);
    }
    using namespace std::chrono;
    const year_month_day date{std::chrono::year(year), std::chrono::month(unsigned(month)),
                              std::chrono::day(unsigned(day))};
    if (!date.ok()) {
        return false;
    }
    const int64_t seconds =
        duration_cast<std::chrono::seconds>(sys_days(date).time_since_epoch()).count() +
        hour * 3600 + minute * 60 + second - int64_t(offset) * 60;
    ms = seconds * 1000 + fraction;
    return true;
}

using Json = nlohmann::json;

// A model or version: a number, or hexadecimal digits in a string as the programs print them
// ("0x5601", "5601").
bool readNumber(const Json& node, uint32_t max, uint32_t& value) {
    if (node.is_number_unsigned()) {
        value = static_cast<uint32_t>(node.get<uint64_t>() > max ? max + 1u : node.get<uint64_t>());
        return node.get<uint64_t>() <= max;
    }
    return node.is_string() && parseHexNumber(node.get<std::string>(), max, value);
}

// One entry's object.
class EntryReader {
public:
    EntryReader(const Json& entry, size_t index) : entry_(entry), index_(index) {}

    std::string read(const std::string& dir, ReleaseEntry& entry) {
        if (!entry_.is_object()) {
            return name() + " is not an object ({ \"file\": ..., \"label\": ..., ... })";
        }
        static constexpr std::string_view KNOWN[] = {"file", "sha256", "size",    "label",
                                                     "oui",  "model",  "version", "over"};
        for (const auto& [key, value] : entry_.items()) {
            bool known = false;
            for (const std::string_view k : KNOWN) {
                known = known || key == k;
            }
            if (!known) {
                return name() + " has an unknown key " + key +
                       " (file, sha256, size, label, oui, model, version, over)";
            }
        }
        const std::string label = text("label");
        if (label.empty() || label.size() > 64) {
            return name() +
                   " needs a label of 1 to 64 characters (the software version it installs)";
        }
        for (const char c : label) {
            if (static_cast<unsigned char>(c) < 0x20 || c == '"' || c == '\\' || c == 0x7F) {
                return name() + " has a label with a control character, a quote or a backslash";
            }
        }
        entry.label = label;
        entry.file = text("file");
        if (entry.file.empty()) {
            return name() + " needs a file (the image, relative to the release file)";
        }
        name_ = " (" + entry.label + ", " + entry.file + ")";
        entry.path = dir.empty() || std::filesystem::path(entry.file).is_absolute()
                         ? entry.file
                         : (std::filesystem::path(dir) / entry.file).string();
        const std::string sha = text("sha256");
        if (sha.size() != 64 ||
            sha.find_first_not_of("0123456789abcdefABCDEF") != std::string::npos) {
            return name() + " needs a sha256 of 64 hexadecimal digits";
        }
        entry.sha256.clear();
        for (const char c : sha) {
            entry.sha256 += static_cast<char>(c >= 'A' && c <= 'F' ? c - 'A' + 'a' : c);
        }
        const Json* size = find("size");
        if (size == nullptr || !size->is_number_unsigned() || size->get<uint64_t>() == 0 ||
            size->get<uint64_t>() >= 0xFFFFFFFF) {
            return name() + " needs a size in bytes (1 to 4,294,967,294)";
        }
        entry.size = size->get<uint64_t>();
        const Json* oui = find("oui");
        if (oui == nullptr ||
            !(oui->is_number_unsigned()
                  ? readNumber(*oui, 0xFFFFFF, entry.oui)
                  : oui->is_string() && parseOui(oui->get<std::string>(), entry.oui))) {
            return name() + " needs the OUI of the boxes' makers (\"00-A0-B1\" or \"0x00A0B1\")";
        }
        uint32_t model = 0;
        const Json* modelNode = find("model");
        if (modelNode == nullptr || !readNumber(*modelNode, 0xFFFF, model)) {
            return name() + " needs the boxes' hardware model (\"0x0000\" to \"0xFFFF\")";
        }
        entry.model = static_cast<uint16_t>(model);
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

    const Json* find(const char* key) const {
        const auto at = entry_.find(key);
        return at == entry_.end() ? nullptr : &*at;
    }
    std::string text(const char* key) const {
        const Json* node = find(key);
        return node != nullptr && node->is_string() ? node->get<std::string>() : "";
    }

    // A version ("0x0203") or a range ({ "from": "0x0200", "to": "0x02FF" }); absent: every
    // version.
    std::string readRange(const char* key, VersionRange& range) const {
        const Json* node = find(key);
        range = {};
        if (node == nullptr) {
            return "";
        }
        const std::string wrong = name() + " has a " + key +
                                  " that is neither a version (\"0x0203\") nor a range ({ "
                                  "\"from\": \"0x0200\", \"to\": \"0x02FF\" }) of 0x0000 to 0xFFFF";
        uint32_t from = 0;
        uint32_t to = 0;
        range.any = false;
        if (!node->is_object()) {
            if (!readNumber(*node, 0xFFFF, from)) {
                return wrong;
            }
            to = from;
        } else if (node->size() != 2 || !node->contains("from") || !node->contains("to") ||
                   !readNumber((*node)["from"], 0xFFFF, from) ||
                   !readNumber((*node)["to"], 0xFFFF, to)) {
            return wrong;
        }
        range.from = static_cast<uint16_t>(from);
        range.to = static_cast<uint16_t>(to);
        return "";
    }

    const Json& entry_;
    size_t index_;
    std::string name_;
};

// Where the text stops being JSON: the line of the parser's byte position.
class ErrorPlace final : public nlohmann::json_sax<Json> {
public:
    bool null() override { return true; }
    bool boolean(bool) override { return true; }
    bool number_integer(number_integer_t) override { return true; }
    bool number_unsigned(number_unsigned_t) override { return true; }
    bool number_float(number_float_t, const string_t&) override { return true; }
    bool string(string_t&) override { return true; }
    bool binary(binary_t&) override { return true; }
    bool start_object(std::size_t) override { return true; }
    bool key(string_t&) override { return true; }
    bool end_object() override { return true; }
    bool start_array(std::size_t) override { return true; }
    bool end_array() override { return true; }
    bool parse_error(std::size_t position, const std::string&,
                     const nlohmann::detail::exception&) override {
        at = position;
        return false;
    }
    size_t at = 0;
};

} // namespace

std::string entryName(const Release& release, size_t index) {
    const ReleaseEntry& entry = release.entries[index];
    return "image " + std::to_string(index + 1) + " (" + entry.label + ", " + entry.file + ")";
}

std::string parseRelease(std::string_view text, const std::string& dir, Release& release) {
    release = {};
    // Comments are allowed: people write this file.
    const Json top = Json::parse(text, nullptr, false, true);
    if (top.is_discarded()) {
        ErrorPlace place;
        Json::sax_parse(text, &place, nlohmann::detail::input_format_t::json, true, true);
        const size_t line =
            1 +
            size_t(std::count(text.begin(), text.begin() + std::min(place.at, text.size()), '\n'));
        return "it is not JSON: line " + std::to_string(line);
    }
    if (!top.is_object()) {
        return "it is not a JSON object ({ \"name\": ..., \"images\": [...] })";
    }
    for (const auto& [key, value] : top.items()) {
        if (key != "name" && key != "expires" && key != "images") {
            return "it has an unknown key " + key + " (name, expires, images)";
        }
    }
    const auto name = top.find("name");
    if (name == top.end() || !name->is_string() || name->get<std::string>().empty()) {
        return "it needs a name (for example \"name\": \"VB-2000 and VB-2100, lot 4711\")";
    }
    release.name = name->get<std::string>();
    if (const auto expires = top.find("expires"); expires != top.end()) {
        if (!expires->is_string() || !readTime(expires->get<std::string>(), release.expiresMs)) {
            return "its expires needs a date and time with its zone (\"2027-03-31T18:00:00Z\")";
        }
        release.expires = true;
        release.expiresText = expires->get<std::string>();
    }
    const auto images = top.find("images");
    if (images == top.end() || !images->is_array() || images->empty()) {
        return "it needs at least one image (\"images\": [{ ... }])";
    }
    for (size_t i = 0; i < images->size(); ++i) {
        ReleaseEntry entry;
        EntryReader reader((*images)[i], i);
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
