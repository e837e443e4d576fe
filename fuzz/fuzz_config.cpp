// A command's config file, text from anyone's editor: no input may crash the reader, and what it
// reads must hold together (keys named, lines within the text, a flag one boolean).
#include "args/config.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using namespace kestrune::args;

namespace {

void check(bool ok, int line = __builtin_LINE()) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_config.cpp:%d: check failed\n", line);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const auto lines = static_cast<uint32_t>(std::count(text.begin(), text.end(), '\n') + 1);
    std::vector<ConfigEntry> entries;
    const std::string wrong = readConfig(text, {"port", "slot", "device"}, entries);
    check(wrong.empty() || (wrong.rfind("line ", 0) == 0 && entries.empty()));
    for (const ConfigEntry& entry : entries) {
        check(!entry.key.empty() && entry.line >= 1 && entry.line <= lines);
        check(entry.kind != ConfigKind::Flag ||
              (entry.values.size() == 1 &&
               (entry.values[0] == "true" || entry.values[0] == "false")));
        check(entry.kind == ConfigKind::List || entry.values.size() == 1);
    }
    return 0;
}
