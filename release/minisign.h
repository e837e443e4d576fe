#pragma once

// minisign's signatures, checked as minisign itself checks them: a public key file ("untrusted
// comment: ..." and the base64 of "Ed", an 8-byte key id and the 32-byte Ed25519 key), and a
// .minisig file: an untrusted comment, the base64 of the algorithm ("ED": the Ed25519
// signature of the file's BLAKE2b-512 hash; "Ed", the legacy form: of the file itself), the key
// id and the signature; then "trusted comment: ..." and the base64 of the global signature, the
// Ed25519 signature of the file's signature followed by the trusted comment. Ed25519 and
// BLAKE2b are libsodium's.

#include <cstdint>
#include <string>
#include <string_view>

namespace kestrune::release {

struct PublicKey {
    uint8_t keyId[8] = {};
    uint8_t key[32] = {};
};

// "" when `text` is a minisign public key file (or its one base64 line), else why not.
std::string readPublicKey(std::string_view text, PublicKey& key);
// The key id as minisign prints it: "8AA1D3E2D1B2C3D4".
std::string keyIdText(const uint8_t (&keyId)[8]);

enum class Signature {
    Good,
    Malformed,      // not a .minisig file
    OtherKey,       // made with another key (its key id is another)
    FileChanged,    // the file is not the one signed
    CommentChanged, // the trusted comment is not the one signed
};

struct SignatureCheck {
    Signature verdict = Signature::Malformed;
    std::string signedBy;       // the signature's key id, when it could be read
    std::string trustedComment; // as the .minisig file holds it
    std::string problem;        // Malformed: what is wrong with it
};

SignatureCheck verifySignature(const PublicKey& key, std::string_view file,
                               std::string_view minisig);

} // namespace kestrune::release
