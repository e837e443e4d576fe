#pragma once
// A command's options from a file people edit by hand (TOML, through toml++): every key of the
// file is the long name of one of the command's options (`settle = 5` for --settle 5, `image`
// for the positional IMAGE), so that an option a command declares is a setting of its file
// with no second list. One repeatable option of NAME=VALUE words may also be given as a table
// array of two fields each (a station's `[[port]]` tables: `slot = "A1"`, `device = "..."`).
// What the command line gives wins: a key whose option the line set is left as the line said.
//
// Two steps: readConfig() only reads the text (untrusted bytes: it is fuzzed), applyConfig()
// hands the values to the options, their own validators checking them. Every refusal names
// the line and the key.

#include <CLI/CLI.hpp>
#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::args {

enum class ConfigKind : uint8_t { Flag, Value, List };

struct ConfigEntry {
    std::string key;
    uint32_t line = 0;
    ConfigKind kind = ConfigKind::Value;
    std::vector<std::string> values; // Flag: "true" or "false"
};

// The table array that stands for a repeatable NAME=VALUE option: `[[key]]` with `name` (may
// be left out: the value alone) and `value`.
struct NamedTables {
    std::string key;
    std::string name;
    std::string value;
};

// Reads `text`; "" and the entries in the file's order, or "line N: KEY: what is wrong".
std::string readConfig(std::string_view text, const NamedTables& tables,
                       std::vector<ConfigEntry>& entries);

// Where a setting came from, for the command's --check.
struct ConfigSource {
    std::string key;
    std::string value;  // as given, several joined by ", "
    std::string source; // "command line", "FILE line N" or "default"
};

// Gives the entries to `command`'s options that the command line did not set; `file` names the
// file in a refusal ("FILE:7: retries: needs a number from 0 to 100, not 300"), which is thrown
// as a Mistake. `refused` are the keys that are not settings of a file (--config itself); they
// are left out of the answer too: every other option, in declaration order, with its value now
// and where it came from.
std::vector<ConfigSource> applyConfig(CLI::App& command, const std::string& file,
                                      const std::vector<ConfigEntry>& entries,
                                      const std::vector<std::string>& refused);

} // namespace kestrune::args
