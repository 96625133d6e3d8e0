// The maker's side of publisher signatures, used by kelvora-pack and kelvora-devserver, never by
// Update.exe: key pairs and signature files in the formats minisign reads and writes.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "updater/release_signature.h"

namespace release_signing {

struct SecretKey {
  release_signature::KeyId keyId{};
  std::array<uint8_t, 64> key{};  // the Ed25519 seed followed by the public key
};

struct KeyFiles {
  std::string publicKeyFile;  // minisign.pub: comment line and base64 line
  std::string secretKeyFile;  // unencrypted, as minisign -G -W writes
};
KeyFiles generateKeyPair();

// Reads an unencrypted minisign secret key file; nullopt with *error (an encrypted key is refused
// by name) otherwise.
std::optional<SecretKey> parseSecretKeyFile(std::string_view text, std::string* error);

// The whole .minisig text for a package with this hash and trusted comment (one line).
std::string signatureFile(const SecretKey& key, const release_signature::Hash& packageHash,
                          const std::string& trustedComment);

// "timestamp:T\tversion:A.B.C\tpackage-size:N\tprogram-size:M": what every signed package
// carries; Update.exe bounds its download and its decoder by the two sizes.
std::string releaseComment(const protocol::Version& version, uint64_t packageBytes,
                           uint64_t programBytes);

// BLAKE2b-512 of a whole file; nullopt when it cannot be read.
std::optional<release_signature::Hash> hashFile(const std::string& path);

// What a signature says of a package file, read once: its hash, its size and the size of the
// program it decodes to (of the blocks before the fault when it does not decode). nullopt with
// *error when it cannot be read.
struct PackageFacts {
  release_signature::Hash hash;
  uint64_t packageBytes = 0;
  uint64_t programBytes = 0;
  std::string decodeFault;  // empty when the whole package decodes
};
std::optional<PackageFacts> measurePackage(const std::string& path, std::string* error);

// The .minisig text for the package file at `path` as kelvora-pack sign writes it, sizes included;
// a package that does not decode is refused unless `evenIfBroken` (the devserver serves broken
// packages signed as they are, so that tests see Update.exe refuse them).
std::optional<std::string> signPackage(const SecretKey& key, const std::string& path,
                                       const protocol::Version& version, std::string* error,
                                       bool evenIfBroken = false);

}  // namespace release_signing
