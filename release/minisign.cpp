#include "release/minisign.h"

#include <cstdio>
#include <sodium.h>
#include <vector>

namespace kestrune::release {
namespace {

constexpr size_t KEY_BYTES = 2 + 8 + 32;
constexpr size_t SIGNATURE_BYTES = 2 + 8 + 64;

// The file's lines, without their line ends.
std::vector<std::string_view> lines(std::string_view text) {
    std::vector<std::string_view> out;
    while (!text.empty()) {
        const size_t end = text.find('\n');
        std::string_view line = text.substr(0, end);
        if (!line.empty() && line.back() == '\r') {
            line.remove_suffix(1);
        }
        out.push_back(line);
        text = end == std::string_view::npos ? std::string_view() : text.substr(end + 1);
    }
    return out;
}

bool base64(std::string_view text, uint8_t* out, size_t size) {
    size_t length = 0;
    return sodium_base642bin(out, size, text.data(), text.size(), nullptr, &length, nullptr,
                             sodium_base64_VARIANT_ORIGINAL) == 0 &&
           length == size;
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

bool ready() {
    static const bool initialised = sodium_init() >= 0;
    return initialised;
}

} // namespace

std::string keyIdText(const uint8_t (&keyId)[8]) {
    // minisign prints the id as a little-endian 64-bit number.
    std::string text;
    for (int i = 7; i >= 0; --i) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02X", keyId[i]);
        text += pair;
    }
    return text;
}

std::string readPublicKey(std::string_view text, PublicKey& key) {
    std::vector<std::string_view> all = lines(text);
    if (!all.empty() && startsWith(all[0], "untrusted comment:")) {
        all.erase(all.begin());
    }
    uint8_t bytes[KEY_BYTES];
    if (all.empty() || !base64(all[0], bytes, sizeof bytes)) {
        return "it is not a minisign public key";
    }
    if (bytes[0] != 'E' || bytes[1] != 'd') {
        return "it is not an Ed25519 minisign public key";
    }
    std::copy(bytes + 2, bytes + 10, key.keyId);
    std::copy(bytes + 10, bytes + KEY_BYTES, key.key);
    return "";
}

SignatureCheck verifySignature(const PublicKey& key, std::string_view file,
                               std::string_view minisig) {
    SignatureCheck check;
    if (!ready()) {
        check.problem = "the signature library could not start";
        return check;
    }
    const std::vector<std::string_view> all = lines(minisig);
    uint8_t signature[SIGNATURE_BYTES];
    uint8_t global[64];
    constexpr std::string_view TRUSTED = "trusted comment: ";
    if (all.size() < 4 || !startsWith(all[0], "untrusted comment:") ||
        !base64(all[1], signature, sizeof signature) || !startsWith(all[2], TRUSTED) ||
        !base64(all[3], global, sizeof global)) {
        check.problem = "it is not a minisign signature";
        return check;
    }
    const bool prehashed = signature[0] == 'E' && signature[1] == 'D';
    if (!prehashed && !(signature[0] == 'E' && signature[1] == 'd')) {
        check.problem = "it is not an Ed25519 minisign signature";
        return check;
    }
    uint8_t id[8];
    std::copy(signature + 2, signature + 10, id);
    check.signedBy = keyIdText(id);
    check.trustedComment = std::string(all[2].substr(TRUSTED.size()));
    if (!std::equal(id, id + 8, key.keyId)) {
        check.verdict = Signature::OtherKey;
        return check;
    }
    const uint8_t* sig = signature + 10;
    const auto* bytes = reinterpret_cast<const uint8_t*>(file.data());
    int verified = 0;
    if (prehashed) {
        uint8_t hash[crypto_generichash_BYTES_MAX];
        crypto_generichash(hash, sizeof hash, bytes, file.size(), nullptr, 0);
        verified = crypto_sign_verify_detached(sig, hash, sizeof hash, key.key);
    } else {
        verified = crypto_sign_verify_detached(sig, bytes, file.size(), key.key);
    }
    if (verified != 0) {
        check.verdict = Signature::FileChanged;
        return check;
    }
    std::vector<uint8_t> signedComment(sig, sig + 64);
    signedComment.insert(signedComment.end(), check.trustedComment.begin(),
                         check.trustedComment.end());
    if (crypto_sign_verify_detached(global, signedComment.data(), signedComment.size(), key.key) !=
        0) {
        check.verdict = Signature::CommentChanged;
        return check;
    }
    check.verdict = Signature::Good;
    return check;
}

} // namespace kestrune::release
