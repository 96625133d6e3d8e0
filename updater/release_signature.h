// Publisher signatures of update packages, in minisign's format. A package object K is installed
// only with the object K.minisig beside it: a prehashed ("ED") Ed25519 signature by one of the
// built-in publisher keys over the BLAKE2b-512 of the package, and a global signature over that
// signature and a trusted comment that names the announced version (so a genuinely signed
// package of another version, served under this name, is refused) and, from kelvora-pack, the
// package and program sizes that bound the download. With no key built in nothing is checked.
// The file format and the checks: docs/FORMATS.md, section 6.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <sodium.h>

#include "protocol/version_text.h"

namespace release_signature {

using Hash = std::array<uint8_t, 64>;
using KeyId = std::array<uint8_t, 8>;

// A signature file larger than this is refused (only one byte more is ever received); a real one
// is under 400 bytes.
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
// Gives the file's fields, or nullopt with *error saying what is wrong. A CR before a line end is
// taken as part of the line end, as minisign takes it.
std::optional<SignatureFile> parseSignatureFile(std::span<const uint8_t> file, std::string* error);

// What a release's trusted comment says of it. Tokens are separated by spaces and tabs; the
// comment holds exactly one "version:A.B.C" (canonical text) and at most one each of
// "package-size:N" (the package's bytes) and "program-size:M" (the bytes it decodes to), in
// canonical decimal below 2^63. Every other token (minisign's timestamp:, file:) is left alone.
struct ReleaseComment {
  protocol::Version version;
  std::optional<uint64_t> packageSize;
  std::optional<uint64_t> programSize;
};
std::optional<ReleaseComment> parseReleaseComment(std::string_view comment, std::string* error);

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

// A signature file that passed every check that needs no package bytes.
struct CheckedSignature {
  SignatureFile file;
  ReleaseComment comment;
  std::vector<PublicKey> keys;  // the keys of its key id whose global signature holds
};

// Parses the signature file (over MAX_SIGNATURE_FILE refused) and requires, in order: the
// prehashed algorithm, a known key id, the global signature over signature and trusted comment
// by a key of that id (each such key is tried), and a trusted comment naming the announced
// version. Made before the package is asked for, so a failure costs no package transfer.
std::optional<CheckedSignature> checkSignatureFile(std::span<const uint8_t> signatureFile,
                                                   const protocol::Version& announced,
                                                   std::span<const PublicKey> keys,
                                                   std::string* reason);
// The last check, once the package is in: its signature over packageHash.
SignatureCheck checkPackageHash(const CheckedSignature& checked, const Hash& packageHash);
// Both at once.
SignatureCheck checkPackageSignature(std::span<const uint8_t> signatureFile,
                                     const Hash& packageHash, const protocol::Version& announced,
                                     std::span<const PublicKey> keys);

}  // namespace release_signature
