#pragma once

// A release: which image each box gets. Release engineering writes it once per release (JSON,
// see docs/release.md), optionally signs it with minisign, and a station serves a mixed line from
// it: each box gets the one entry its hardware descriptor fits, and a box that no entry fits
// gets nothing. This part is pure: the text in, the entries out, and the match of a box's
// reading to an entry; the files are loaded by release_load.h.

#include "dsmcc/identity.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace kestrune::release {

// Versions an entry is for: every one, or from..to inclusive (one version: from == to).
struct VersionRange {
    bool any = true;
    uint16_t from = 0;
    uint16_t to = 0xFFFF;
    bool contains(uint16_t version) const { return any || (version >= from && version <= to); }
    bool empty() const { return !any && from > to; }
};

struct ReleaseEntry {
    std::string file;   // as written, relative to the release file
    std::string path;   // where it is: the release file's folder joined with `file`
    std::string sha256; // lower-case hex
    uint64_t size = 0;
    std::string label; // the software version it installs: short, shown and counted by
    uint32_t oui = 0;
    uint16_t model = 0;
    VersionRange versions; // hardware versions
    VersionRange over;     // software versions it may be installed over (any when absent)
};

struct Release {
    std::string name;
    bool expires = false;
    int64_t expiresMs = 0;   // milliseconds since 1970-01-01T00:00:00Z
    std::string expiresText; // as written, for people
    std::vector<ReleaseEntry> entries;
};

// How sentences name entry `index` (0-based): "image 2 (4.7.11, vb2100.dl)".
std::string entryName(const Release& release, size_t index);

// Reads a release file's text; `dir` is the release file's folder ("" for the current one).
// "" when it reads and every entry holds together (a label, a file, a SHA-256 of 64 hex
// digits, a size, an OUI and a model; no entry that fits no box; no two entries that would both
// fit one box), else the sentence of the first problem, naming the entry.
std::string parseRelease(std::string_view text, const std::string& dir, Release& release);

// Whether the release has expired at `nowMs`: from the moment of `expires` on.
bool expired(const Release& release, int64_t nowMs);

// The entry the box's hardware (and software) reading fits, or -1. `hardware` must be a
// present reading; an entry needs the box's OUI, so a compact descriptor fits none.
int findEntry(const Release& release, const SystemDescriptor& hardware,
              const SystemDescriptor& software);

// Why no entry fits: "no image of release R for model 0x5602 version 0x0100", with the OUI
// or the software version added where that is what kept the box out.
std::string describeNoEntry(const Release& release, const SystemDescriptor& hardware,
                            const SystemDescriptor& software);

// The boxes an entry is for: "OUI 0x00A0B1 model 0x5601 versions 0x0200-0x02FF, over
// software 0x0100".
std::string describeBoxes(const ReleaseEntry& entry);

} // namespace kestrune::release
