// kelvora-publish's configuration: one JSON file naming the buckets every release goes to, the
// manifest object the update servers follow, the store's write key and the publisher's secret
// key. Secrets stay in files of their own, named relative to the configuration file, so that a
// release command is short and no secret shows in a process list or a shell history.
#pragma once

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace publish {

struct StoreBucket {
  std::string endpoint;  // host[:port], optionally with http:// or https://
  std::string bucket;
};

struct KeyPair {
  std::string id, secret;
};

struct PublishConfig {
  std::vector<StoreBucket> buckets;  // every release goes to each, in this order
  StoreBucket manifestBucket;
  std::string manifestKey;
  KeyPair writeKey;              // for PUT: never the read pair that Update.exe carries
  KeyPair readKey;               // for GET and HEAD: "read_credentials", else the built-in pair
  std::string publisherKeyFile;  // the minisign secret key, an absolute path
};

// Parses the file's text; `directory` is where relative paths start. Secret files are read
// here. On failure nullopt, with *error naming the field or the file.
std::optional<PublishConfig> parsePublishConfig(std::string_view json, const std::string& directory,
                                                std::string* error);
std::optional<PublishConfig> loadPublishConfig(const std::string& path, std::string* error);

}  // namespace publish
