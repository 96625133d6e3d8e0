#include "tools/kelvora-publish/publish_config.h"

#include <filesystem>
#include <fstream>
#include <nlohmann/json.hpp>
#include <sstream>

#include "updater/builtin_config.h"

namespace publish {

namespace {

using nlohmann::json;

// A secret file is small; anything longer is not one.
constexpr std::streamsize kMaxSecretFile = 4096;

struct ConfigError {
  std::string text;
};

const json& member(const json& object, const std::string& name, const std::string& where) {
  if (!object.is_object() || !object.contains(name)) throw ConfigError{where + name + ": missing"};
  return object.at(name);
}

std::string text(const json& object, const std::string& name, const std::string& where) {
  const json& value = member(object, name, where);
  if (!value.is_string() || value.get_ref<const std::string&>().empty())
    throw ConfigError{where + name + ": not a non-empty string"};
  return value.get<std::string>();
}

std::string resolve(const std::string& path, const std::string& directory) {
  const std::filesystem::path p(path);
  return p.is_absolute() ? path
                         : (std::filesystem::path(directory) / p).lexically_normal().string();
}

// The first line of a secret file, without its line end.
std::string readSecret(const std::string& path, const std::string& field) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw ConfigError{field + ": cannot read " + path};
  std::string bytes(size_t(kMaxSecretFile) + 1, '\0');
  in.read(bytes.data(), kMaxSecretFile + 1);
  bytes.resize(size_t(in.gcount()));
  if (bytes.size() > size_t(kMaxSecretFile))
    throw ConfigError{field + ": " + path + " is too long"};
  bytes = bytes.substr(0, bytes.find_first_of("\r\n"));
  if (bytes.empty()) throw ConfigError{field + ": " + path + " is empty"};
  return bytes;
}

StoreBucket bucketAt(const json& object, const std::string& where) {
  return {text(object, "endpoint", where), text(object, "bucket", where)};
}

KeyPair keyPairAt(const json& object, const std::string& where, const std::string& directory) {
  return {
      text(object, "id", where),
      readSecret(resolve(text(object, "secret_file", where), directory), where + "secret_file")};
}

PublishConfig parse(const json& root, const std::string& directory) {
  PublishConfig config;
  const json& buckets = member(root, "buckets", "");
  if (!buckets.is_array() || buckets.empty()) throw ConfigError{"buckets: not a non-empty list"};
  for (size_t i = 0; i < buckets.size(); ++i)
    config.buckets.push_back(bucketAt(buckets[i], "buckets[" + std::to_string(i) + "]."));
  const json& manifest = member(root, "manifest", "");
  config.manifestBucket = bucketAt(manifest, "manifest.");
  config.manifestKey = text(manifest, "key", "manifest.");
  config.writeKey = keyPairAt(member(root, "credentials", ""), "credentials.", directory);
  const builtin_config::BuiltinConfig& builtin = builtin_config::builtinConfig();
  config.readKey = {builtin.accessKeyId, builtin.accessKeySecret};
  if (root.contains("read_credentials"))
    config.readKey = keyPairAt(root.at("read_credentials"), "read_credentials.", directory);
  // The read key is in every Update.exe, for anyone to take out of the binary.
  if (config.writeKey.id == config.readKey.id || config.writeKey.id == builtin.accessKeyId)
    throw ConfigError{
        "credentials.id: the write key must differ from the read key that every "
        "Update.exe carries"};
  config.publisherKeyFile = resolve(text(root, "publisher_key", ""), directory);
  return config;
}

}  // namespace

std::optional<PublishConfig> parsePublishConfig(std::string_view jsonText,
                                                const std::string& directory, std::string* error) {
  const json root = json::parse(jsonText, nullptr, /*allow_exceptions=*/false);
  if (root.is_discarded()) {
    *error = "not valid JSON";
    return std::nullopt;
  }
  if (!root.is_object()) {
    *error = "not a JSON object";
    return std::nullopt;
  }
  try {
    return parse(root, directory);
  } catch (const ConfigError& e) {
    *error = e.text;
  } catch (const std::exception& e) {
    *error = e.what();
  }
  return std::nullopt;
}

std::optional<PublishConfig> loadPublishConfig(const std::string& path, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream text;
  if (!in || !(text << in.rdbuf())) {
    *error = "cannot read " + path;
    return std::nullopt;
  }
  const std::string directory = std::filesystem::absolute(path).parent_path().string();
  auto config = parsePublishConfig(text.str(), directory, error);
  if (!config) *error = path + ": " + *error;
  return config;
}

}  // namespace publish
