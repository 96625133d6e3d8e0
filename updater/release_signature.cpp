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

std::optional<CheckedSignature> checkSignatureFile(std::span<const uint8_t> signatureFile,
                                                   const protocol::Version& announced,
                                                   std::span<const PublicKey> keys,
                                                   std::string* reason) {
  startSodium();
  auto fail = [&](std::string why) -> std::optional<CheckedSignature> {
    *reason = std::move(why);
    return std::nullopt;
  };
  std::string error;
  auto file = parseSignatureFile(signatureFile, &error);
  if (!file) return fail("malformed signature file: " + error);
  if (file->algorithm[0] != 'E' || file->algorithm[1] != 'D') {
    if (file->algorithm[0] == 'E' && file->algorithm[1] == 'd')
      return fail(
          "legacy signature (algorithm Ed) refused: it signs the whole file, which cannot be "
          "checked while the package streams; sign again with the prehashed default");
    return fail("malformed signature file: unknown signature algorithm");
  }
  CheckedSignature checked{std::move(*file), {}, {}};
  std::vector<uint8_t> signedComment(checked.file.signature.begin(), checked.file.signature.end());
  signedComment.insert(signedComment.end(), checked.file.trustedComment.begin(),
                       checked.file.trustedComment.end());
  bool known = false;
  for (const PublicKey& key : keys) {
    if (key.keyId != checked.file.keyId) continue;
    known = true;
    if (crypto_sign_verify_detached(checked.file.globalSignature.data(), signedComment.data(),
                                    signedComment.size(), key.key.data()) == 0)
      checked.keys.push_back(key);
  }
  if (!known) return fail("unknown key id " + keyIdText(checked.file.keyId));
  if (checked.keys.empty())
    return fail("bad trusted-comment signature: the trusted comment was altered");
  auto comment = parseReleaseComment(checked.file.trustedComment, &error);
  const std::string wanted = "version:" + protocol::versionText(announced);
  if (!comment || comment->version != announced)
    return fail("version mismatch: the announced version needs " + wanted +
                " in the trusted comment \"" + printable(checked.file.trustedComment) + "\"" +
                (comment ? "" : " (" + error + ")"));
  checked.comment = *comment;
  return checked;
}

SignatureCheck checkPackageHash(const CheckedSignature& checked, const Hash& packageHash) {
  startSodium();
  for (const PublicKey& key : checked.keys)
    if (crypto_sign_verify_detached(checked.file.signature.data(), packageHash.data(),
                                    packageHash.size(), key.key.data()) == 0)
      return {true, "signed by key " + keyIdText(key.keyId) +
                        " for version:" + protocol::versionText(checked.comment.version)};
  return refuse("bad signature: the package is not the one key " + keyIdText(checked.file.keyId) +
                " signed");
}

SignatureCheck checkPackageSignature(std::span<const uint8_t> signatureFile,
                                     const Hash& packageHash, const protocol::Version& announced,
                                     std::span<const PublicKey> keys) {
  std::string reason;
  auto checked = checkSignatureFile(signatureFile, announced, keys, &reason);
  if (!checked) return refuse(reason);
  return checkPackageHash(*checked, packageHash);
}

}  // namespace release_signature
