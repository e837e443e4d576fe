// A command's settings from its config file: what the reader refuses, with its line and key,
// and what the options end with when the file and the command line both give them.
#include "args/args.h"
#include "args/config.h"

#include <gtest/gtest.h>

namespace kestrune::args {
namespace {

const NamedTables PORTS{"port", "slot", "device"};

struct Refused {
    const char* text;
    const char* why;
};

TEST(ConfigFile, ReaderRefusesWithLineAndKey) {
    const Refused cases[] = {
        {"a = 1\n[[port]]\nslot = \"A1\"\ndevice = \"/dev/x\"\n[[port]]\nslot = \"A1\"\n"
         "device = \"/dev/y\"\n",
         "line 6: port.slot: A1 is given twice (first on line 3)"},
        {"[[port]]\ndevice = \"/dev/x\"\n[[port]]\ndevice = \"/dev/x\"\n",
         "line 4: port.device: /dev/x is given twice (first on line 2)"},
        {"[[port]]\nslot = \"A1\"\n", "line 1: port: a port needs its device"},
        {"[[port]]\nslot = \"A1\"\ndevice = 3\n", "line 3: port.device: needs a string"},
        {"[[port]]\nname = \"A1\"\n",
         "line 2: port.name: unknown key (a port has slot and device)"},
        {"\n\nwhen = 1979-05-27\n",
         "line 3: a value that is not a string, a number, true or false (a date or a time, or a "
         "string without its quotes?)"},
        {"at = 07:32:00\n", "line 1: a number that begins with 0"},
        {"a = [1, 2\n", "line 2: a list needs a comma between its values, and ] at its end"},
        {"a = [}\n", "line 1: a value that is not a string, a number, true or false (a string "
                     "without its quotes?)"},
        {"a = {b = 1}\n", "line 1: an inline table (give a table of its own)"},
        {"a.b = 1\n", "line 1: a dotted key (give a table of its own)"},
        {"a = \"x\" b\n", "line 1: something more after the value (one setting a line)"},
        {"a = \"\\q\"\n", "line 1: an escape in a string that TOML does not have"},
        {"a =\n", "line 1: a value must follow ="},
        {"ports = [[1]]\n", "line 1: a list in a list"},
        {"[http]\nport = 1\n", "line 1: http: unknown table"},
        {"a = \x01\n", "line 1: a control character"},
        {"a = 1\nb\xC3\xA9 = 2\n",
         "line 2: a character that is not ASCII (in a string, write it as \\uXXXX)"},
        {"a = \"caf\xC3\xA9\"\n",
         "line 1: a character that is not ASCII (in a string, write it as \\uXXXX)"},
        {"[ .]\n", "line 1: a key needs a name"},
    };
    for (const Refused& c : cases) {
        std::vector<ConfigEntry> entries;
        EXPECT_EQ(readConfig(c.text, PORTS, entries), c.why) << c.text;
        EXPECT_TRUE(entries.empty());
    }
    std::vector<ConfigEntry> entries;
    EXPECT_EQ(readConfig("a = 1\na = 2\n", PORTS, entries).rfind("line 2: ", 0), 0u);
}

TEST(ConfigFile, ReaderKeepsTheFilesOrderAndSpelling) {
    std::vector<ConfigEntry> entries;
    ASSERT_EQ(readConfig("zeta = 2.5\nforce = true\nalpha = [\"x\", 3]\n[[port]]\n"
                         "device = \"/dev/a\"\n[[port]]\nslot = \"B2\"\ndevice = \"/dev/b\"\n",
                         PORTS, entries),
              "");
    ASSERT_EQ(entries.size(), 4u);
    EXPECT_EQ(entries[0].key, "zeta");
    EXPECT_EQ(entries[0].values, std::vector<std::string>{"2.5"});
    EXPECT_EQ(entries[1].kind, ConfigKind::Flag);
    EXPECT_EQ(entries[2].values, (std::vector<std::string>{"x", "3"}));
    EXPECT_EQ(entries[3].line, 4u);
    EXPECT_EQ(entries[3].values, (std::vector<std::string>{"/dev/a", "B2=/dev/b"}));
}

// A command of each kind of option: a number with a range, a flag, a list, a positional.
struct Command {
    CLI::App app{"", "prog"};
    unsigned retries = 0;
    double settle = 3;
    bool force = false;
    std::vector<std::string> ports;
    std::string image;
    std::string config;
    Command() {
        setUp(app);
        app.add_option("--retries", retries)->transform(Number(0, 100));
        app.add_option("--settle", settle)->transform(Decimal(0.2, 3600));
        app.add_flag("--force", force);
        app.add_option("--port", ports)->allow_extra_args(false);
        app.add_option("--config", config);
        app.add_option("IMAGE", image);
    }
    // The line parsed, then the file applied: "" or the refusal.
    std::string run(const std::vector<std::string>& line, const char* file,
                    std::vector<ConfigSource>* sources = nullptr) {
        std::ostringstream out, err;
        EXPECT_EQ(parse(app, line, out, err), PROCEED) << err.str();
        std::vector<ConfigEntry> entries;
        if (std::string wrong = readConfig(file, PORTS, entries); !wrong.empty()) {
            return wrong;
        }
        try {
            const auto got = applyConfig(app, "f.toml", entries, {"config"});
            if (sources != nullptr) {
                *sources = got;
            }
        } catch (const Mistake& e) {
            return e.what();
        }
        return "";
    }
};

TEST(ConfigFile, OptionsRefuseWhatTheirChecksRefuse) {
    const Refused cases[] = {
        {"retries = 300\n", "f.toml:1: retries: needs a number from 0 to 100, not 300"},
        {"\nsettle = \"fast\"\n", "f.toml:2: settle: needs a number from 0.2 to 3600, not fast"},
        {"force = 1\n", "f.toml:1: force: needs true or false"},
        {"retries = true\n", "f.toml:1: retries: needs a value, not true"},
        {"retries = [1, 2]\n", "f.toml:1: retries: takes one value, not a list"},
        {"retires = 3\n", "f.toml:1: unknown key retires"},
        {"config = \"x\"\n", "f.toml:1: unknown key config (a command-line option only)"},
        {"help = true\n", "f.toml:1: unknown key help (a command-line option only)"},
    };
    for (const Refused& c : cases) {
        Command command;
        EXPECT_EQ(command.run({}, c.text), c.why) << c.text;
    }
}

TEST(ConfigFile, TheCommandLineWins) {
    const char* file = "retries = 4\nsettle = 0.5\nforce = true\nport = [\"/dev/a\"]\n"
                       "image = \"x.dl\"\n";
    struct Case {
        std::vector<std::string> line;
        unsigned retries;
        double settle;
        std::vector<std::string> ports;
    } cases[] = {
        {{}, 4, 0.5, {"/dev/a"}},
        {{"--retries", "1"}, 1, 0.5, {"/dev/a"}},
        {{"--port", "/dev/b", "--settle", "2"}, 4, 2, {"/dev/b"}}, // a list is replaced whole
    };
    for (const Case& c : cases) {
        Command command;
        std::vector<ConfigSource> sources;
        ASSERT_EQ(command.run(c.line, file, &sources), "");
        EXPECT_EQ(command.retries, c.retries);
        EXPECT_EQ(command.settle, c.settle);
        EXPECT_EQ(command.ports, c.ports);
        EXPECT_TRUE(command.force);
        EXPECT_EQ(command.image, "x.dl");
    }
    Command command;
    std::vector<ConfigSource> sources;
    ASSERT_EQ(command.run({"--retries", "1"}, "settle = 0.5\n", &sources), "");
    std::map<std::string, std::string> from;
    for (const ConfigSource& s : sources) {
        from[s.key] = s.value + " (" + s.source + ")";
    }
    EXPECT_EQ(from["retries"], "1 (command line)");
    EXPECT_EQ(from["settle"], "0.5 (f.toml line 1)");
    EXPECT_EQ(from["force"], "false (default)");
    EXPECT_EQ(from.count("config"), 0u);
}

} // namespace
} // namespace kestrune::args
