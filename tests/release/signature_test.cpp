// A release loaded from files: its signatures made by the real minisign and tampered with part
// by part, and the refusals that need the images themselves.
#include "release/release_load.h"

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <unistd.h>

namespace kestrune::release {
namespace {

namespace fs = std::filesystem;

std::string slurp(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void spit(const fs::path& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

class ReleaseFiles : public ::testing::Test {
protected:
    void SetUp() override {
        dir_ = fs::temp_directory_path() /
               ("kestrune-release-" + std::to_string(::getpid()) + "-" +
                ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        fs::create_directories(dir_);
        fs::copy_file(KESTRUNE_SAMPLE, dir_ / "a.dl");
        ASSERT_EQ(run("minisign -G -W -p key.pub -s key.sec"), 0);
        ASSERT_EQ(run("minisign -G -W -p other.pub -s other.sec"), 0);
        write("");
    }
    void TearDown() override { fs::remove_all(dir_); }

    int run(const std::string& command) const {
        return std::system(
            ("cd '" + dir_.string() + "' && " + command + " >/dev/null 2>&1").c_str());
    }
    // The release of a.dl as it is, with `extra` members at the top.
    void write(const std::string& extra) const {
        spit(dir_ / "rel.json",
             "{\"name\": \"lot 4711\", " + extra +
                 "\"images\": [{\"file\": \"a.dl\", \"label\": \"4.7.11\", \"size\": 34863, "
                 "\"sha256\": "
                 "\"0de17c61889baf69df26cb0926caf01a0b04502fbc793940c9af8f24e9f75f3c\", \"oui\": "
                 "\"0x00A0B1\", \"model\": \"0x5601\"}]}\n");
    }
    LoadedRelease load(const std::string& key = "key.pub", int64_t now = 0) const {
        LoadedRelease loaded;
        loadRelease((dir_ / "rel.json").string(), key.empty() ? "" : (dir_ / key).string(), now,
                    loaded);
        return loaded;
    }
    fs::path dir_;
};

TEST_F(ReleaseFiles, SignedByMinisignInBothForms) {
    for (const char* sign :
         {"minisign -S -W -s key.sec -m rel.json", "minisign -S -l -W -s key.sec -m rel.json"}) {
        ASSERT_EQ(run(sign), 0);
        const LoadedRelease loaded = load();
        EXPECT_EQ(loaded.firstProblem(), "") << sign;
        // The id minisign writes in the public key's comment (without its leading zeros).
        const std::string id = loaded.facts.keyId;
        ASSERT_EQ(id.size(), 16u);
        const std::string comment = slurp(dir_ / "key.pub");
        const std::string shown = id.substr(std::min(id.find_first_not_of('0'), id.size() - 1));
        EXPECT_NE(comment.find("public key " + shown + "\n"), std::string::npos)
            << id << " in " << comment;
        EXPECT_EQ(loaded.entries.at(0).modules, 3u);
    }
    EXPECT_EQ(load("").signature, "not checked: no --release-key");
    EXPECT_EQ(load("").facts.keyId, "");
}

TEST_F(ReleaseFiles, EveryPartTamperedWithIsRefused) {
    ASSERT_EQ(run("minisign -S -W -s key.sec -t 'lot 4711' -m rel.json"), 0);
    const std::string release = slurp(dir_ / "rel.json");
    const std::string signature = slurp(dir_ / "rel.json.minisig");
    // Lines of the .minisig: untrusted comment, signature, trusted comment, global signature.
    std::vector<std::string> lines;
    std::istringstream in(signature);
    for (std::string line; std::getline(in, line);) {
        lines.push_back(line);
    }
    ASSERT_EQ(lines.size(), 4u);
    const auto join = [](std::vector<std::string> l) {
        std::string out;
        for (const std::string& line : l) {
            out += line + "\n";
        }
        return out;
    };
    const auto flip = [](std::string line, size_t at) {
        line[at] = line[at] == 'A' ? 'B' : 'A';
        return line;
    };
    const struct {
        const char* what;
        std::string file;
        std::string minisig;
        std::string words;
    } cases[] = {
        {"the file", release + " ", signature, "the release no longer matches its signature"},
        {"the signature", release, join({lines[0], flip(lines[1], 40), lines[2], lines[3]}),
         "the release no longer matches its signature"},
        {"the trusted comment", release,
         join({lines[0], lines[1], "trusted comment: lot 4712", lines[3]}),
         "is not the one signed"},
        {"the global signature", release, join({lines[0], lines[1], lines[2], flip(lines[3], 20)}),
         "is not the one signed"},
        {"the key id", release, join({lines[0], flip(lines[1], 4), lines[2], lines[3]}),
         "the release is signed by key"},
        {"a cut signature", release, join({lines[0], lines[1]}), "is not a minisign signature"},
    };
    for (const auto& c : cases) {
        spit(dir_ / "rel.json", c.file);
        spit(dir_ / "rel.json.minisig", c.minisig);
        const LoadedRelease loaded = load();
        EXPECT_NE(loaded.firstProblem().find(c.words), std::string::npos)
            << c.what << ": " << loaded.firstProblem();
        EXPECT_EQ(loaded.facts.keyId, "") << c.what;
    }
    // The untrusted comment is not signed: changing it changes nothing.
    spit(dir_ / "rel.json", release);
    spit(dir_ / "rel.json.minisig",
         join({"untrusted comment: anything", lines[1], lines[2], lines[3]}));
    EXPECT_EQ(load().firstProblem(), "");
    // Another key, and none at all.
    EXPECT_NE(load("other.pub").firstProblem().find(", not by the release key "),
              std::string::npos);
    fs::remove(dir_ / "rel.json.minisig");
    EXPECT_NE(load().firstProblem().find("the release is not signed: "), std::string::npos);
    EXPECT_EQ(load("").firstProblem(), "");
}

TEST_F(ReleaseFiles, ImagesThatAreNotTheEntryAreRefused) {
    const auto problem = [this] { return load("").firstProblem(); };
    write(R"("expires": "1970-01-01T00:00:01Z", )");
    EXPECT_EQ(load("", 999).firstProblem(), "");
    EXPECT_EQ(load("", 1000).firstProblem(),
              "the release lot 4711 expired at 1970-01-01T00:00:01Z");
    write("");
    std::string image = slurp(dir_ / "a.dl");
    image[image.size() - 1] ^= 1;
    spit(dir_ / "a.dl", image);
    EXPECT_NE(problem().find("image 1 (4.7.11, a.dl): "), std::string::npos);
    EXPECT_NE(problem().find(" has SHA-256 "), std::string::npos);
    EXPECT_NE(problem().find(", not the release's 0de17c61889baf69"), std::string::npos);
    spit(dir_ / "a.dl", image + "x");
    EXPECT_NE(problem().find("has 34,864 bytes, not the 34,863 of the release (SHA-256 "),
              std::string::npos);
    spit(dir_ / "a.dl", "not an image");
    EXPECT_NE(problem().find("does not load: Incorrect file format!"), std::string::npos);
    // Three empty blocks and no module: it loads, and gives a box nothing.
    spit(dir_ / "a.dl", std::string(7, '\0'));
    spit(dir_ / "rel.json",
         R"({"name": "lot 4711", "images": [{"file": "a.dl", "label": "empty", "size": 7, )"
         R"("sha256": "837885c8f8091aeaeb9ec3c3f85a6ff470a415e610b8ba3e49f9b33c9cf9d619", )"
         R"("oui": "00-A0-B1", "model": "0x5601"}]})");
    EXPECT_NE(problem().find("image 1 (empty, a.dl): "), std::string::npos) << problem();
    EXPECT_NE(problem().find("has no modules: there is nothing to download"), std::string::npos);
    write("");
    fs::remove(dir_ / "a.dl");
    EXPECT_NE(problem().find("image 1 (4.7.11, a.dl): "), std::string::npos);
    EXPECT_NE(problem().find("a.dl is missing"), std::string::npos);
}

} // namespace
} // namespace kestrune::release
