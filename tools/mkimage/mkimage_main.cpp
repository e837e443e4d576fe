// kestrune-mkimage: writes a .dl download image from module files or generated content.
#include "args/args.h"
#include "tools/mkimage/image_writer.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

using kestrune::mkimage::ImageSpec;
using kestrune::mkimage::ModuleSpec;

namespace {

namespace args = kestrune::args;

constexpr int EXIT_INPUT = 66;  // an input file could not be read
constexpr int EXIT_OUTPUT = 73; // the image could not be written

bool readFile(const char* path, std::vector<uint8_t>& out) {
    FILE* file = std::fopen(path, "rb");
    if (file == nullptr) {
        std::fprintf(stderr, "kestrune-mkimage: cannot read %s: %s\n", path, std::strerror(errno));
        return false;
    }
    out.clear();
    uint8_t buffer[65536];
    size_t got = 0;
    while ((got = std::fread(buffer, 1, sizeof buffer, file)) > 0) {
        out.insert(out.end(), buffer, buffer + got);
    }
    const bool failed = std::ferror(file) != 0;
    std::fclose(file);
    if (failed) {
        std::fprintf(stderr, "kestrune-mkimage: cannot read %s\n", path);
    }
    return !failed;
}

struct PendingModule {
    ModuleSpec plan;
    std::string file;
    bool generated = false;
    uint32_t size = 0;
    bool seeded = false;
    uint32_t seed = 0;
};

// Everything the command line gives, in the order the module options came.
struct Request {
    ImageSpec image;
    std::vector<PendingModule> modules;
    std::string output;
    std::string blockFiles[3];
    std::string blockTexts[3];
    bool blockTextGiven[3] = {false, false, false};
    std::string trailerFile;
};

void declareMkimage(CLI::App& app, Request& r) {
    app.description("Writes a download image: three leading blocks that the server skips, then "
                    "one entry per module (moduleId, moduleSize, moduleVersion, moduleInfo, data). "
                    "Each --module starts a module; the module options after it apply to it.");
    args::setUp(app, KESTRUNE_VERSION);
    app.add_option("-o,--output", r.output, "the image to write (required)")->type_name("FILE");
    for (int b = 0; b < 3; ++b) {
        const std::string n = std::to_string(b + 1);
        const std::string limit = b == 0 ? "at most 255 bytes" : "at most 65535 bytes";
        app.add_option("--block" + n, r.blockFiles[b],
                       "content of block " + n + " (" + limit + "), from a file")
            ->type_name("FILE");
        app.add_option_function<std::string>(
               "--block" + n + "-text",
               [&r, b](const std::string& text) {
                   r.blockTexts[b] = text;
                   r.blockTextGiven[b] = true;
               },
               "content of block " + n + ", the given text")
            ->type_name("TEXT");
    }
    app.add_option("--trailer", r.trailerFile,
                   "bytes to append after the last module (ignored by the server)")
        ->type_name("FILE");

    // Module options apply to the latest --module, so they are taken in command-line order.
    const std::string group = "Module options (each applies to the latest --module)";
    auto latest = [&r](const char* option) -> PendingModule& {
        if (r.modules.empty()) {
            throw args::Mistake(std::string(option) + " must follow a --module");
        }
        return r.modules.back();
    };
    auto number = [&app, &group](const char* name, uint64_t max, const char* valueName,
                                 const char* help, std::function<void(uint64_t)> apply) {
        app.add_option_function<uint64_t>(
               name, [apply](const uint64_t& value) { apply(value); }, help)
            ->type_name(valueName)
            ->transform(args::Number(0, max))
            ->group(group)
            ->trigger_on_parse();
    };
    auto text = [&app, &group](const char* name, const char* valueName, const char* help,
                               std::function<void(const std::string&)> apply) {
        app.add_option_function<std::string>(name, apply, help)
            ->type_name(valueName)
            ->group(group)
            ->trigger_on_parse();
    };
    number("--module", 0xFFFF, "ID", "start a new module with this moduleId", [&r](uint64_t id) {
        r.modules.emplace_back();
        r.modules.back().plan.moduleId = static_cast<uint16_t>(id);
    });
    number("--module-version", 0xFF, "N", "moduleVersion (default 0)", [latest](uint64_t v) {
        latest("--module-version").plan.moduleVersion = static_cast<uint8_t>(v);
    });
    number("--tag", 0xFF, "N", "the moduleInfo descriptor's tag byte (default 0x81)",
           [latest](uint64_t tag) { latest("--tag").plan.infoTag = static_cast<uint8_t>(tag); });
    text("--info", "HEX",
         "the descriptor's bytes, e.g. \"00 0A\" (default none; at most 253 bytes; "
         "moduleInfoLength is their count + 2)",
         [latest](const std::string& hex) {
             PendingModule& m = latest("--info");
             if (!kestrune::mkimage::parseHexBytes(hex.c_str(), m.plan.infoBytes)) {
                 throw args::Mistake("--info needs hex bytes such as \"00 0A\", not " + hex);
             }
         });
    text("--file", "FILE", "module data from a file", [latest](const std::string& file) {
        PendingModule& m = latest("--file");
        m.file = file;
        m.generated = false;
    });
    number("--size", 0xFFFFFFFEu, "N", "module data generated: N bytes of a deterministic pattern",
           [latest](uint64_t size) {
               PendingModule& m = latest("--size");
               m.generated = true;
               m.file.clear();
               m.size = static_cast<uint32_t>(size);
           });
    number("--seed", 0xFFFFFFFFu, "N", "seed of the pattern (default: the moduleId)",
           [latest](uint64_t seed) {
               PendingModule& m = latest("--seed");
               m.seeded = true;
               m.seed = static_cast<uint32_t>(seed);
           });
    app.footer("Numbers are decimal or hexadecimal with 0x (010 is ten). At most 50 modules.\n"
               "Prints one line per module and the image size.\n"
               "\n"
               "Exit status: 0 written, 64 wrong usage, 66 an input file unreadable, 73 output\n"
               "failed.\n"
               "\n"
               "Example:\n"
               "  kestrune-mkimage -o demo.dl --block1-text demo \\\n"
               "      --module 1 --module-version 1 --info \"00 0A\" --size 128000 \\\n"
               "      --module 2 --info \"00 01 02 03 04 05 06 07\" --file app.bin\n"
               "\n"
               "--module-version was called --version before 1.1.0.");
}

} // namespace

int main(int argc, char** argv) {
    CLI::App cmd("", "kestrune-mkimage");
    Request r;
    declareMkimage(cmd, r);
    if (const int status = args::parse(cmd, argc, argv); status != args::PROCEED) {
        return status;
    }
    ImageSpec& image = r.image;
    std::vector<PendingModule>& modules = r.modules;
    const std::string& output = r.output;
    const std::string* blockFiles = r.blockFiles;
    const std::string* blockTexts = r.blockTexts;
    const bool* blockTextGiven = r.blockTextGiven;
    const std::string& trailerFile = r.trailerFile;
    if (output.empty()) {
        return args::fail(cmd, "no output file (-o IMAGE.dl)");
    }
    std::vector<uint8_t>* texts[3] = {&image.block1, &image.block2, &image.block3};
    for (int b = 0; b < 3; ++b) {
        if (blockTextGiven[b]) {
            texts[b]->assign(blockTexts[b].begin(), blockTexts[b].end());
        }
    }

    std::vector<uint8_t>* blocks[3] = {&image.block1, &image.block2, &image.block3};
    for (int b = 0; b < 3; ++b) {
        if (!blockFiles[b].empty() && !readFile(blockFiles[b].c_str(), *blocks[b])) {
            return EXIT_INPUT;
        }
    }
    if (!trailerFile.empty() && !readFile(trailerFile.c_str(), image.trailer)) {
        return EXIT_INPUT;
    }
    for (PendingModule& module : modules) {
        if (!module.file.empty()) {
            if (!readFile(module.file.c_str(), module.plan.data)) {
                return EXIT_INPUT;
            }
        } else if (module.generated) {
            module.plan.data = kestrune::mkimage::patternData(
                module.size, module.seeded ? module.seed : module.plan.moduleId);
        }
        image.modules.push_back(std::move(module.plan));
    }

    std::vector<uint8_t> bytes;
    std::string error;
    if (!kestrune::mkimage::buildImage(image, bytes, error)) {
        return args::fail(cmd, error);
    }

    // Such an image loads, but gives a box nothing to download: most likely a forgotten --module.
    if (image.modules.empty()) {
        std::fprintf(stderr, "kestrune-mkimage: warning: %s has no modules (no --module given)\n",
                     output.c_str());
    }
    FILE* file = std::fopen(output.c_str(), "wb");
    if (file == nullptr) {
        std::fprintf(stderr, "kestrune-mkimage: cannot write %s: %s\n", output.c_str(),
                     std::strerror(errno));
        return EXIT_OUTPUT;
    }
    const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
    if (std::fclose(file) != 0 || !written) {
        std::fprintf(stderr, "kestrune-mkimage: cannot write %s\n", output.c_str());
        std::remove(output.c_str());
        return EXIT_OUTPUT;
    }
    for (const ModuleSpec& module : image.modules) {
        std::printf("module %u: version %u, %zu info bytes, %zu data bytes\n",
                    static_cast<unsigned>(module.moduleId),
                    static_cast<unsigned>(module.moduleVersion), module.infoBytes.size() + 2,
                    module.data.size());
    }
    std::printf("wrote %s: %zu bytes, %zu modules\n", output.c_str(), bytes.size(),
                image.modules.size());
    return 0;
}
