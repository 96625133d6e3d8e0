// Publisher signatures of update packages, in minisign's format. A package object K is installed
// only with the object K.minisig beside it: a prehashed ("ED") Ed25519 signature by one of the
// built-in publisher keys over the BLAKE2b-512 of the package, and a global signature over that
// signature and a trusted comment that names the announced version (so a genuinely signed
// package of another version, served under this name, is refused). With no key built in nothing
// is checked. The file format and the four checks: docs/FORMATS.md, section 6.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sodium.h>

#include "updater/settings_block.h"

namespace release_signature {

using Hash = std::array<uint8_t, 64>;
using KeyId = std::array<uint8_t, 8>;

// A signature file larger than this is refused unread; a real one is under 400 bytes.
constexpr size_t MAX_SIGNATURE_FILE = 4096;
constexpr char SIGNATURE_SUFFIX[] = ".minisig";

// BLAKE2b-512 of the package bytes, fed piece by piece as they arrive.
class PackageHash {
 public:
  PackageHash();
  void update(std::span<const uint8_t> bytes);
  Hash finish();

 private:
  crypto_generichash_state state_;
};

struct PublicKey {
  KeyId keyId{};
  std::array<uint8_t, 32> key{};
};

// --- Pure parsing: no library calls, never reads past its input ---

// Strict RFC 4648 base64 with padding; nullopt on any other character or length.
std::optional<std::vector<uint8_t>> decodeBase64(std::string_view text);
// The base64 line of a minisign public key: 42 bytes, "Ed", key id, Ed25519 key.
std::optional<PublicKey> parsePublicKey(std::string_view base64Line);

struct SignatureFile {
  std::array<uint8_t, 2> algorithm{};
  KeyId keyId{};
  std::array<uint8_t, 64> signature{};
  std::string trustedComment;  // the text after "trusted comment: "
  std::array<uint8_t, 64> globalSignature{};
};
// Gives the file's fields, or nullopt with *error saying what is wrong.
std::optional<SignatureFile> parseSignatureFile(std::span<const uint8_t> file, std::string* error);

// The key id as minisign prints it: a little-endian 64-bit integer in upper-case hex.
std::string keyIdText(const KeyId& id);
// Text from outside made safe for one line of a terminal: control bytes become \xNN.
std::string printable(std::string_view text);

// --- The checks ---

struct SignatureCheck {
  bool ok = false;
  std::string reason;  // the one line for standard error when not ok
};

// The keys compiled in (KELVORA_PUBLISHER_KEYS); an empty list turns the checks off.
bool publisherKeysBuiltIn();
const std::vector<PublicKey>& builtInPublisherKeys();

// Parses the signature file (over MAX_SIGNATURE_FILE refused unread) and requires, in order: a
// known key id, the signature over packageHash, the global signature over signature and trusted
// comment, and the token "version:A.B.C" of the announced version in the trusted comment.
SignatureCheck checkPackageSignature(std::span<const uint8_t> signatureFile,
                                     const Hash& packageHash,
                                     const settings_block::Version& announced,
                                     std::span<const PublicKey> keys);
SignatureCheck checkPackageSignature(std::span<const uint8_t> signatureFile,
                                     const Hash& packageHash,
                                     const settings_block::Version& announced);

}  // namespace release_signature
