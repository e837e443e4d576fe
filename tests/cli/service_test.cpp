#include "cli/service_control.h"

#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace kestrune::cli {
namespace {

// What the C runtime's parser makes of one argument (the rules CommandLineToArgvW follows):
// the test's own reading, so that every quoted word is checked to come back unchanged.
std::vector<std::string> splitCommandLine(const std::string& line) {
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) {
            ++i;
        }
        if (i == line.size()) {
            break;
        }
        std::string word;
        bool quoted = false;
        while (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
            size_t slashes = 0;
            while (i < line.size() && line[i] == '\\') {
                ++slashes;
                ++i;
            }
            if (i < line.size() && line[i] == '"') {
                word.append(slashes / 2, '\\');
                if (slashes % 2 == 1) {
                    word += '"';
                } else {
                    quoted = !quoted;
                }
                ++i;
            } else {
                word.append(slashes, '\\');
                if (i < line.size() && (quoted || (line[i] != ' ' && line[i] != '\t'))) {
                    word += line[i++];
                }
            }
        }
        words.push_back(word);
    }
    return words;
}

TEST(ServiceCommandLine, EveryWordComesBackUnchanged) {
    const struct {
        const char* word;
        const char* quoted;
    } rows[] = {
        {"line1", "line1"},
        {"C:\\kestrune\\line1.toml", "C:\\kestrune\\line1.toml"},
        {"C:\\Program Files\\Kestrune\\line 1.toml",
         "\"C:\\Program Files\\Kestrune\\line 1.toml\""},
        {"", "\"\""},
        {"C:\\with space\\", "\"C:\\with space\\\\\""},
        {"say \"hi\"", "\"say \\\"hi\\\"\""},
        {"a\\\\\"b", "\"a\\\\\\\\\\\"b\""},
        {"tab\there", "\"tab\there\""},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(quoteArgument(row.word), row.quoted) << row.word;
        const std::vector<std::string> back = splitCommandLine(quoteArgument(row.word));
        ASSERT_EQ(back.size(), 1u) << row.word;
        EXPECT_EQ(back[0], row.word);
    }
}

TEST(ServiceCommandLine, ProgramAlwaysQuotedAndTheWordsInOrder) {
    const struct {
        const char* exe;
        const char* config;
        const char* line;
    } rows[] = {
        {"C:\\kestrune\\kestrune-cli.exe", "C:\\kestrune\\line1.toml",
         "\"C:\\kestrune\\kestrune-cli.exe\" service run line1 --config C:\\kestrune\\line1.toml"},
        {"C:\\Program Files\\Kestrune\\kestrune-cli.exe", "D:\\line one\\a.toml",
         "\"C:\\Program Files\\Kestrune\\kestrune-cli.exe\" service run line1 --config "
         "\"D:\\line one\\a.toml\""},
    };
    for (const auto& row : rows) {
        const std::string line = serviceCommandLine(row.exe, "line1", row.config);
        EXPECT_EQ(line, row.line);
        const std::vector<std::string> words = {row.exe, "service",  "run",
                                                "line1", "--config", row.config};
        EXPECT_EQ(splitCommandLine(line), words);
    }
}

TEST(ServiceName, OnlyWordsThatNameAFileAndAService) {
    const struct {
        std::string name;
        bool taken;
    } rows[] = {
        {"line1", true},
        {"Line-2_b.3", true},
        {std::string(80, 'a'), true},
        {"", false},
        {std::string(81, 'a'), false},
        {"line 1", false},
        {"a/b", false},
        {"a\\b", false},
        {"..\"x", false},
        {"l\xc3\xadnea", false},
    };
    for (const auto& row : rows) {
        const std::string wrong = checkServiceName(row.name);
        EXPECT_EQ(wrong.empty(), row.taken) << row.name;
        if (!row.taken) {
            EXPECT_NE(wrong.find(row.name), std::string::npos) << wrong;
        }
    }
}

TEST(ServiceLog, NamedAfterTheServiceInTheRecordsFolder) {
    const struct {
        const char* record;
        const char* log;
    } rows[] = {
        {"record.jsonl", "line1.log"},
        {"", "line1.log"},
        {"records/line1.jsonl", "records/line1.log"},
        {"D:\\kestrune\\records\\r.jsonl", "D:\\kestrune\\records\\line1.log"},
        {"D:\\kestrune/mixed\\r.jsonl", "D:\\kestrune/mixed\\line1.log"},
        {"D:r.jsonl", "D:line1.log"},
        {"/var/lib/kestrune/r.jsonl", "/var/lib/kestrune/line1.log"},
        {"\\\\server\\share\\r.jsonl", "\\\\server\\share\\line1.log"},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(serviceLogPath("line1", row.record), row.log) << row.record;
    }
    EXPECT_EQ(folderOf("C:\\kestrune\\line1.toml"), "C:\\kestrune\\");
    EXPECT_EQ(folderOf("line1.toml"), "");
}

} // namespace
} // namespace kestrune::cli
