// The release's readers of bytes from outside: the release file's text, a minisign public key
// and a .minisig file. The first byte picks the reader; the rest is its input. No input may
// crash them, and what parses must hold together.
#include "release/minisign.h"
#include "release/release.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

using namespace kestrune::release;

namespace {

void check(bool ok, int line = __builtin_LINE()) {
    if (!ok) {
        std::fprintf(stderr, "fuzz_release.cpp:%d: check failed\n", line);
        std::abort();
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const std::string_view input(reinterpret_cast<const char*>(data) + 1, size - 1);
    switch (data[0] % 3) {
    case 0: {
        Release release;
        if (parseRelease(input, "dir", release).empty()) {
            check(!release.name.empty() && !release.entries.empty());
            for (size_t i = 0; i < release.entries.size(); ++i) {
                const ReleaseEntry& e = release.entries[i];
                check(!e.versions.empty() && !e.over.empty() && e.sha256.size() == 64);
                // An entry fits the box it names, and no other entry does.
                kestrune::SystemDescriptor hw;
                hw.present = true;
                hw.specifierType = 1;
                hw.specifierData = e.oui;
                hw.model = e.model;
                hw.version = e.versions.from;
                kestrune::SystemDescriptor sw = hw;
                sw.version = e.over.from;
                check(findEntry(release, hw, sw) == static_cast<int>(i));
            }
        }
        break;
    }
    case 1: {
        PublicKey key;
        readPublicKey(input, key);
        break;
    }
    default: {
        PublicKey key{};
        const SignatureCheck result = verifySignature(key, "release", input);
        check(result.verdict != Signature::Good); // no key signs with all zeros
        break;
    }
    }
    return 0;
}
