#include "updater/release_signature.h"

#include <cstdio>
#include <cstring>

namespace release_signature {

namespace {

// libsodium picks its fastest code at sodium_init; it is safe to call from any thread, often.
void startSodium() {
  static const bool started = sodium_init() >= 0;
  (void)started;
}

bool hasToken(std::string_view text, std::string_view token) {
  constexpr std::string_view kSpace = " \t";
  size_t at = 0;
  while ((at = text.find_first_not_of(kSpace, at)) != std::string_view::npos) {
    size_t end = text.find_first_of(kSpace, at);
    if (text.substr(at, end == std::string_view::npos ? end : end - at) == token) return true;
    at = end;
  }
  return false;
}

SignatureCheck refuse(std::string reason) {
  return {false, std::move(reason)};
}

}  // namespace

PackageHash::PackageHash() {
  startSodium();
  crypto_generichash_init(&state_, nullptr, 0, crypto_generichash_BYTES_MAX);
}

void PackageHash::update(std::span<const uint8_t> bytes) {
  crypto_generichash_update(&state_, bytes.data(), bytes.size());
}

Hash PackageHash::finish() {
  Hash hash;
  crypto_generichash_final(&state_, hash.data(), hash.size());
  return hash;
}

SignatureCheck checkPackageSignature(std::span<const uint8_t> signatureFile,
                                     const Hash& packageHash,
                                     const settings_block::Version& announced,
                                     std::span<const PublicKey> keys) {
  startSodium();
  std::string error;
  auto file = parseSignatureFile(signatureFile, &error);
  if (!file) return refuse("malformed signature file: " + error);
  if (file->algorithm[0] != 'E' || file->algorithm[1] != 'D') {
    if (file->algorithm[0] == 'E' && file->algorithm[1] == 'd')
      return refuse(
          "legacy signature (algorithm Ed) refused: it signs the whole file, which cannot be "
          "checked while the package streams; sign again with the prehashed default");
    return refuse("malformed signature file: unknown signature algorithm");
  }
  const PublicKey* key = nullptr;
  for (const PublicKey& candidate : keys)
    if (candidate.keyId == file->keyId) key = &candidate;
  if (key == nullptr) return refuse("unknown key id " + keyIdText(file->keyId));
  if (crypto_sign_verify_detached(file->signature.data(), packageHash.data(), packageHash.size(),
                                  key->key.data()) != 0)
    return refuse("bad signature: the package is not the one key " + keyIdText(key->keyId) +
                  " signed");
  std::vector<uint8_t> signedComment(file->signature.begin(), file->signature.end());
  signedComment.insert(signedComment.end(), file->trustedComment.begin(),
                       file->trustedComment.end());
  if (crypto_sign_verify_detached(file->globalSignature.data(), signedComment.data(),
                                  signedComment.size(), key->key.data()) != 0)
    return refuse("bad trusted-comment signature: the trusted comment was altered");
  char wanted[48];
  std::snprintf(wanted, sizeof wanted, "version:%u.%u.%u", announced.major, announced.minor,
                announced.build);
  if (!hasToken(file->trustedComment, wanted))
    return refuse("version mismatch: the announced version needs " + std::string(wanted) +
                  " in the trusted comment \"" + printable(file->trustedComment) + "\"");
  return {true, "signed by key " + keyIdText(key->keyId) + " for " + wanted};
}

}  // namespace release_signature
