#include "release/release_load.h"

#include "common/sha256.h"
#include "common/system_error.h"
#include "common/text.h"

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace kestrune::release {
namespace {

bool readFile(const std::string& path, std::string& text, std::string& problem) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        problem = "cannot read " + path;
        return false;
    }
    std::ostringstream bytes;
    bytes << in.rdbuf();
    text = bytes.str();
    return true;
}

std::string sha256Of(const std::string& bytes) {
    Sha256 hash;
    hash.update(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
    return hash.hex();
}

std::string describeImageFailure(const LoadStatus& status) {
    switch (status.error) {
    case LoadError::Open:
        return "cannot be opened: " +
               systemErrorText(
                   SystemError{static_cast<decltype(SystemError::code)>(status.systemError)});
    case LoadError::Snapshot:
        return "cannot be copied to serve from (no folder or memory file took it)";
    default:
        return "does not load: Incorrect file format!";
    }
}

void checkSignature(const std::string& path, const std::string& keyPath, const std::string& text,
                    LoadedRelease& loaded) {
    if (keyPath.empty()) {
        loaded.signature = "not checked: no --release-key";
        return;
    }
    std::string keyText;
    PublicKey key;
    std::string wrong;
    if (!readFile(keyPath, keyText, wrong)) {
        loaded.signatureProblem = "cannot read the release key " + keyPath;
        return;
    }
    if (wrong = readPublicKey(keyText, key); !wrong.empty()) {
        loaded.signatureProblem = "the release key " + keyPath + ": " + wrong;
        return;
    }
    const std::string keyId = keyIdText(key.keyId);
    const std::string sigPath = path + ".minisig";
    std::string sigText;
    if (!readFile(sigPath, sigText, wrong)) {
        loaded.signatureProblem = "the release is not signed: " + sigPath +
                                  " is missing (minisign -Sm " + path + " signs it)";
        loaded.signature = "missing";
        return;
    }
    const SignatureCheck check = verifySignature(key, text, sigText);
    loaded.trustedComment = check.trustedComment;
    switch (check.verdict) {
    case Signature::Good:
        loaded.facts.keyId = keyId;
        loaded.signature = "signed by key " + keyId + ": good";
        return;
    case Signature::Malformed:
        loaded.signatureProblem = sigPath + ": " + check.problem;
        break;
    case Signature::OtherKey:
        loaded.signatureProblem =
            "the release is signed by key " + check.signedBy + ", not by the release key " + keyId;
        break;
    case Signature::FileChanged:
        loaded.signatureProblem =
            "the release no longer matches its signature: " + path + " changed after it was signed";
        break;
    case Signature::CommentChanged:
        loaded.signatureProblem = "the trusted comment of " + sigPath +
                                  " is not the one signed: it was changed after signing";
        break;
    }
    loaded.signature = "bad";
}

void checkEntry(const ReleaseEntry& entry, EntryCheck& check, const std::string& name) {
    auto served = std::make_unique<ServedImage>();
    std::error_code error;
    if (!std::filesystem::exists(entry.path, error)) {
        check.problem = name + ": " + entry.path + " is missing";
        return;
    }
    if (!loadServedImage(entry.path, *served, check.status)) {
        check.problem = name + ": " + entry.path + " " + describeImageFailure(check.status);
        return;
    }
    check.loaded = true;
    check.size = served->facts.size;
    check.sha256 = served->facts.sha256;
    check.modules = served->response.numberOfModules;
    served->facts.label = entry.label;
    if (check.size != entry.size) {
        check.problem = name + ": " + entry.path + " has " + groupDigits(check.size) +
                        " bytes, not the " + groupDigits(entry.size) + " of the release (SHA-256 " +
                        check.sha256 + ", the release's " + entry.sha256 + ")";
    } else if (check.sha256 != entry.sha256) {
        check.problem = name + ": " + entry.path + " has SHA-256 " + check.sha256 +
                        ", not the release's " + entry.sha256;
    } else if (check.modules == 0) {
        check.problem = name + ": " + entry.path + " has no modules: there is nothing to download";
    }
    check.image = std::move(served);
}

} // namespace

bool loadServedImage(const std::string& path, ServedImage& served, LoadStatus& status) {
    if (!kestrune::loadImage(served.response, path.c_str(), served.image, &status)) {
        return false;
    }
    served.facts.path = path;
    served.facts.size = served.image.size();
    Sha256 hash;
    hash.update(served.image.data(), served.image.size());
    served.facts.sha256 = hash.hex();
    return true;
}

std::vector<std::string> describeLoaded(const LoadedRelease& loaded) {
    const Release& r = loaded.release;
    std::vector<std::string> lines;
    lines.push_back("release " + r.name + " (SHA-256 " + loaded.facts.sha256.substr(0, 16) +
                    "..., " +
                    (loaded.facts.keyId.empty() ? std::string("unsigned")
                                                : "signed by key " + loaded.facts.keyId) +
                    (r.expires ? ", expires " + r.expiresText : std::string()) + ")");
    for (size_t i = 0; i < r.entries.size() && i < loaded.entries.size(); ++i) {
        const EntryCheck& check = loaded.entries[i];
        lines.push_back(entryName(r, i) + ": " + groupDigits(check.size) + " bytes, SHA-256 " +
                        check.sha256.substr(0, 16) + "..., for " + describeBoxes(r.entries[i]));
    }
    return lines;
}

int64_t nowMs() {
    using namespace std::chrono;
    return duration_cast<milliseconds>(system_clock::now().time_since_epoch()).count();
}

bool LoadedRelease::ok() const {
    return firstProblem().empty();
}

std::string LoadedRelease::firstProblem() const {
    // A signature that does not hold says more than anything read from the file it covers.
    if (!signatureProblem.empty()) {
        return signatureProblem;
    }
    if (!problem.empty()) {
        return problem;
    }
    if (expiredNow) {
        return "the release " + release.name + " expired at " + release.expiresText;
    }
    for (const EntryCheck& entry : entries) {
        if (!entry.problem.empty()) {
            return entry.problem;
        }
    }
    return "";
}

void loadRelease(const std::string& path, const std::string& keyPath, int64_t now,
                 LoadedRelease& loaded) {
    loaded = {};
    loaded.path = path;
    std::string text;
    if (!readFile(path, text, loaded.problem)) {
        return;
    }
    loaded.facts.sha256 = sha256Of(text);
    checkSignature(path, keyPath, text, loaded);
    const std::string dir = std::filesystem::path(path).parent_path().string();
    if (const std::string wrong = parseRelease(text, dir, loaded.release); !wrong.empty()) {
        loaded.problem = path + ": " + wrong;
        return;
    }
    loaded.parsed = true;
    loaded.facts.name = loaded.release.name;
    loaded.expiredNow = expired(loaded.release, now);
    loaded.entries.resize(loaded.release.entries.size());
    for (size_t i = 0; i < loaded.entries.size(); ++i) {
        checkEntry(loaded.release.entries[i], loaded.entries[i], entryName(loaded.release, i));
    }
}

} // namespace kestrune::release
