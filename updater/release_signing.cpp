#include "updater/release_signing.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <vector>

#include "updater/package_stream_decoder.h"

namespace release_signing {

namespace {

using release_signature::decodeBase64;
using release_signature::keyIdText;

constexpr size_t kSecretKeyBytes = 2 + 2 + 2 + 32 + 8 + 8 + 8 + 64 + 32;
constexpr size_t kSecretKeyIdOffset = 2 + 2 + 2 + 32 + 8 + 8;
constexpr size_t kSecretKeyOffset = kSecretKeyIdOffset + 8;
constexpr size_t kChecksumOffset = kSecretKeyOffset + 64;

std::string base64(std::span<const uint8_t> bytes) {
  std::string text(sodium_base64_ENCODED_LEN(bytes.size(), sodium_base64_VARIANT_ORIGINAL), '\0');
  sodium_bin2base64(text.data(), text.size(), bytes.data(), bytes.size(),
                    sodium_base64_VARIANT_ORIGINAL);
  text.resize(std::strlen(text.c_str()));
  return text;
}

// BLAKE2b-256 of "Ed", key id and secret key: minisign's check that a key file is whole.
std::array<uint8_t, 32> keyChecksum(const SecretKey& key) {
  std::array<uint8_t, 32> sum;
  crypto_generichash_state state;
  crypto_generichash_init(&state, nullptr, 0, sum.size());
  crypto_generichash_update(&state, reinterpret_cast<const uint8_t*>("Ed"), 2);
  crypto_generichash_update(&state, key.keyId.data(), key.keyId.size());
  crypto_generichash_update(&state, key.key.data(), key.key.size());
  crypto_generichash_final(&state, sum.data(), sum.size());
  return sum;
}

}  // namespace

KeyFiles generateKeyPair() {
  if (sodium_init() < 0) return {};
  SecretKey secret;
  std::array<uint8_t, 32> publicKey;
  crypto_sign_keypair(publicKey.data(), secret.key.data());
  randombytes_buf(secret.keyId.data(), secret.keyId.size());

  std::vector<uint8_t> pub = {'E', 'd'};
  pub.insert(pub.end(), secret.keyId.begin(), secret.keyId.end());
  pub.insert(pub.end(), publicKey.begin(), publicKey.end());
  std::vector<uint8_t> sec(kSecretKeyBytes, 0);
  std::memcpy(sec.data(), "Ed\0\0B2", 6);  // no key derivation: the file is not encrypted
  std::memcpy(sec.data() + kSecretKeyIdOffset, secret.keyId.data(), 8);
  std::memcpy(sec.data() + kSecretKeyOffset, secret.key.data(), 64);
  const auto sum = keyChecksum(secret);
  std::memcpy(sec.data() + kChecksumOffset, sum.data(), sum.size());
  KeyFiles files;
  files.publicKeyFile = "untrusted comment: minisign public key " + keyIdText(secret.keyId) + "\n" +
                        base64(pub) + "\n";
  files.secretKeyFile = "untrusted comment: minisign secret key " + keyIdText(secret.keyId) +
                        " (not encrypted)\n" + base64(sec) + "\n";
  sodium_memzero(sec.data(), sec.size());
  sodium_memzero(secret.key.data(), secret.key.size());
  return files;
}

std::optional<SecretKey> parseSecretKeyFile(std::string_view text, std::string* error) {
  size_t lineEnd = text.find('\n');
  std::string_view line = lineEnd == std::string_view::npos ? "" : text.substr(lineEnd + 1);
  line = line.substr(0, line.find('\n'));
  if (line.ends_with('\r')) line.remove_suffix(1);
  auto bytes = decodeBase64(line);
  if (!text.starts_with("untrusted comment: ") || !bytes || bytes->size() != kSecretKeyBytes ||
      std::memcmp(bytes->data(), "Ed", 2) != 0) {
    *error = "not a minisign secret key file";
    return std::nullopt;
  }
  if ((*bytes)[2] != 0 || (*bytes)[3] != 0) {
    *error =
        "the secret key is encrypted; make one without a password (minisign -G -W, or "
        "kelvora-pack keygen)";
    return std::nullopt;
  }
  SecretKey key;
  std::memcpy(key.keyId.data(), bytes->data() + kSecretKeyIdOffset, 8);
  std::memcpy(key.key.data(), bytes->data() + kSecretKeyOffset, 64);
  // minisign leaves the checksum of an unencrypted key zero; where one is written it must hold.
  const uint8_t* stored = bytes->data() + kChecksumOffset;
  const auto sum = keyChecksum(key);
  if (std::any_of(stored, stored + 32, [](uint8_t b) { return b != 0; }) &&
      std::memcmp(stored, sum.data(), sum.size()) != 0) {
    *error = "the secret key file is damaged (checksum)";
    return std::nullopt;
  }
  sodium_memzero(bytes->data(), bytes->size());
  return key;
}

std::string signatureFile(const SecretKey& key, const release_signature::Hash& packageHash,
                          const std::string& trustedComment) {
  if (sodium_init() < 0) return {};
  std::vector<uint8_t> line = {'E', 'D'};
  line.insert(line.end(), key.keyId.begin(), key.keyId.end());
  std::array<uint8_t, 64> signature;
  crypto_sign_detached(signature.data(), nullptr, packageHash.data(), packageHash.size(),
                       key.key.data());
  line.insert(line.end(), signature.begin(), signature.end());
  std::vector<uint8_t> signedComment(signature.begin(), signature.end());
  signedComment.insert(signedComment.end(), trustedComment.begin(), trustedComment.end());
  std::array<uint8_t, 64> global;
  crypto_sign_detached(global.data(), nullptr, signedComment.data(), signedComment.size(),
                       key.key.data());
  return "untrusted comment: signature from kelvora-pack secret key " + keyIdText(key.keyId) +
         "\n" + base64(line) + "\ntrusted comment: " + trustedComment + "\n" + base64(global) +
         "\n";
}

std::string releaseComment(const protocol::Version& version, uint64_t packageBytes,
                           uint64_t programBytes) {
  return "timestamp:" + std::to_string(static_cast<long long>(std::time(nullptr))) +
         "\tversion:" + protocol::versionText(version) +
         "\tpackage-size:" + std::to_string(packageBytes) +
         "\tprogram-size:" + std::to_string(programBytes);
}

namespace {

// Feeds every byte of the file to `piece`; false when it cannot be read or `piece` refuses.
template <typename Piece>
bool readPieces(const std::string& path, Piece piece) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) return false;
  std::vector<uint8_t> buffer(1 << 20);
  size_t n;
  bool ok = true;
  while (ok && (n = std::fread(buffer.data(), 1, buffer.size(), file)) > 0)
    ok = piece(std::span<const uint8_t>(buffer.data(), n));
  ok = ok && !std::ferror(file);
  std::fclose(file);
  return ok;
}

}  // namespace

std::optional<release_signature::Hash> hashFile(const std::string& path) {
  release_signature::PackageHash hash;
  if (!readPieces(path, [&](std::span<const uint8_t> bytes) { return hash.update(bytes), true; }))
    return std::nullopt;
  return hash.finish();
}

std::optional<PackageFacts> measurePackage(const std::string& path, std::string* error) {
  PackageFacts facts;
  release_signature::PackageHash hash;
  package_unpack::PackageStreamDecoder decoder([](std::span<const uint8_t>) { return true; });
  const bool read = readPieces(path, [&](std::span<const uint8_t> bytes) {
    hash.update(bytes);
    facts.packageBytes += bytes.size();
    return decoder.feed(bytes);
  });
  if (!read && decoder.result().ok) {
    *error = "cannot read " + path;
    return std::nullopt;
  }
  if (!decoder.finish().ok)
    facts.decodeFault = path + " is not a package: block " +
                        std::to_string(decoder.result().block) + ": " + decoder.result().reason;
  facts.hash = hash.finish();
  facts.programBytes = decoder.programBytes();
  return facts;
}

std::optional<std::string> signPackage(const SecretKey& key, const std::string& path,
                                       const protocol::Version& version, std::string* error,
                                       bool evenIfBroken) {
  auto facts = measurePackage(path, error);
  if (!facts) return std::nullopt;
  if (!facts->decodeFault.empty() && !evenIfBroken) {
    *error = facts->decodeFault;
    return std::nullopt;
  }
  return signatureFile(key, facts->hash,
                       releaseComment(version, facts->packageBytes, facts->programBytes));
}

}  // namespace release_signing
