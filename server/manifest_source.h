// Where the manifest comes from: a local file, or an object in the store fetched with a signed
// GET and If-None-Match on the last ETag, so that an unchanged manifest costs an empty 304.
#pragma once

#include <optional>
#include <string>

namespace server {

// The file's bytes, at most release_manifest::MANIFEST_MAX_BYTES + 1 of them (so that a larger
// file is refused by the parser, not read whole); nullopt with *error.
std::optional<std::string> readManifestFile(const std::string& path, std::string* error);

class ObjectManifestSource {
 public:
  // object is BUCKET/KEY.
  ObjectManifestSource(std::string endpoint, const std::string& object, std::string accessKeyId,
                       std::string secret);

  enum class Result { Changed, Unchanged, Failed };
  // Changed: *text is the object's body. Failed: *error says why. The ETag is kept from every
  // whole 200, so a manifest that does not parse is reported once, not on every poll.
  Result fetch(std::string* text, std::string* error);

 private:
  std::string endpoint_, bucket_, key_, accessKeyId_, secret_, etag_;
};

}  // namespace server
