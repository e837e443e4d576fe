#pragma once

// A release loaded as a station serves it: the file read and hashed, its signature checked
// against --release-key, its text read, its expiry, and every image loaded (a private
// snapshot each) and compared with its entry. Everything is checked and told, so that `release
// check` can show it all; a station starts only when nothing is wrong (ok()).

#include "release/minisign.h"
#include "release/release.h"
#include "release/served_image.h"

#include <memory>
#include <string>
#include <vector>

namespace kestrune::release {

// What every record line and every front end says of the release it serves from.
struct ReleaseFacts {
    std::string name;
    std::string sha256; // of the release file's bytes
    std::string keyId;  // "" when no --release-key checked it
};

struct EntryCheck {
    bool loaded = false; // the image loaded (then `image` holds it)
    LoadStatus status;
    uint16_t modules = 0;
    uint64_t size = 0;   // as found (0 when missing)
    std::string sha256;  // as found ("" when it did not load)
    std::string problem; // "" when the image is the entry's
    std::unique_ptr<ServedImage> image;
};

struct LoadedRelease {
    std::string path;
    ReleaseFacts facts;
    Release release;
    bool parsed = false;
    // The signature: "" when good or not asked for, else the sentence; `signature` says how it
    // was checked ("signed by key 8AA1D3E2D1B2C3D4: good", "not checked: no --release-key").
    std::string signatureProblem;
    std::string signature;
    std::string trustedComment;
    std::string problem; // the file or its text, "" when it read
    bool expiredNow = false;
    std::vector<EntryCheck> entries;

    bool ok() const;
    // The first thing wrong, in the order a station checks it ("" when ok()).
    std::string firstProblem() const;
};

// `keyPath` "": no signature asked for. `nowMs`: the time to judge the expiry at.
void loadRelease(const std::string& path, const std::string& keyPath, int64_t nowMs,
                 LoadedRelease& loaded);

// The release as the programs show it: "release VB-2000 (SHA-256 0de17c61889baf69..., signed by
// key 8AA1D3E2D1B2C3D4, expires 2027-03-31T18:00:00Z)", then one line per image: "image 1
// (4.7.11, vb2000.dl): 34,863 bytes, SHA-256 0de17c61889baf69..., for OUI 0x00A0B1 model
// 0x5601".
std::vector<std::string> describeLoaded(const LoadedRelease& loaded);

// Milliseconds since 1970 now.
int64_t nowMs();

} // namespace kestrune::release
