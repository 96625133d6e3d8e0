#include "updater/installed_signature.h"

#include <string>

#include "updater/app_directory.h"

namespace installed_signature {

std::optional<settings_block::Version> signedVersion(
    std::span<const uint8_t> file, std::span<const release_signature::PublicKey> keys) {
  // The version the comment names, then every check of a fetched signature file for it.
  std::string error;
  const auto parsed = release_signature::parseSignatureFile(file, &error);
  if (!parsed) return std::nullopt;
  const auto comment = release_signature::parseReleaseComment(parsed->trustedComment, &error);
  if (!comment ||
      !release_signature::checkSignatureFile(file, comment->version, keys, &error).has_value())
    return std::nullopt;
  return comment->version;
}

std::optional<settings_block::Version> installedVersion() {
  if (!release_signature::publisherKeysBuiltIn()) return std::nullopt;
  const auto file =
      app_directory::readHead(SIGNATURE_FILE, release_signature::MAX_SIGNATURE_FILE + 1);
  if (!file || file->size() > release_signature::MAX_SIGNATURE_FILE) return std::nullopt;
  return signedVersion(*file, release_signature::builtInPublisherKeys());
}

}  // namespace installed_signature
