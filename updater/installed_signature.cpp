#include "updater/installed_signature.h"

#include <string_view>
#include <vector>

#include "protocol/version_text.h"
#include "updater/app_directory.h"

namespace installed_signature {

std::optional<settings_block::Version> signedVersion(
    std::span<const uint8_t> file, std::span<const release_signature::PublicKey> keys) {
  if (sodium_init() < 0) return std::nullopt;
  std::string error;
  const auto parsed = release_signature::parseSignatureFile(file, &error);
  if (!parsed) return std::nullopt;
  std::vector<uint8_t> signedComment(parsed->signature.begin(), parsed->signature.end());
  signedComment.insert(signedComment.end(), parsed->trustedComment.begin(),
                       parsed->trustedComment.end());
  bool verified = false;
  for (const release_signature::PublicKey& key : keys)
    verified = verified ||
               (key.keyId == parsed->keyId &&
                crypto_sign_verify_detached(parsed->globalSignature.data(), signedComment.data(),
                                            signedComment.size(), key.key.data()) == 0);
  if (!verified) return std::nullopt;
  constexpr std::string_view kToken = "version:", kSpace = " \t";
  const std::string_view comment = parsed->trustedComment;
  std::optional<settings_block::Version> version;
  for (size_t at = 0; (at = comment.find_first_not_of(kSpace, at)) != std::string_view::npos;) {
    const size_t end = std::min(comment.find_first_of(kSpace, at), comment.size());
    const std::string_view token = comment.substr(at, end - at);
    if (token.starts_with(kToken)) {
      if (version) return std::nullopt;
      version = protocol::parseCanonicalVersion(token.substr(kToken.size()));
      if (!version) return std::nullopt;
    }
    at = end;
  }
  return version;
}

std::optional<settings_block::Version> installedVersion() {
  if (!release_signature::publisherKeysBuiltIn()) return std::nullopt;
  const auto file =
      app_directory::readHead(SIGNATURE_FILE, release_signature::MAX_SIGNATURE_FILE + 1);
  if (!file || file->size() > release_signature::MAX_SIGNATURE_FILE) return std::nullopt;
  return signedVersion(*file, release_signature::builtInPublisherKeys());
}

}  // namespace installed_signature
