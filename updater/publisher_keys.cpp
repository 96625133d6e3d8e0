// The publisher keys compiled into this Update.exe (KELVORA_PUBLISHER_KEYS), apart from the
// signature code so that the maker's tools link that code without a configuration.
#include "updater/builtin_config.h"
#include "updater/release_signature.h"

namespace release_signature {

bool publisherKeysBuiltIn() {
  return builtin_config::builtinConfig().publisherKeys[0] != '\0';
}

const std::vector<PublicKey>& builtInPublisherKeys() {
  // The build refuses a key that does not parse, so every listed key is here.
  static const std::vector<PublicKey> keys = [] {
    std::vector<PublicKey> parsed;
    std::string_view list = builtin_config::builtinConfig().publisherKeys;
    while (!list.empty()) {
      size_t end = list.find(';');
      if (auto key = parsePublicKey(list.substr(0, end))) parsed.push_back(*key);
      list.remove_prefix(end == std::string_view::npos ? list.size() : end + 1);
    }
    return parsed;
  }();
  return keys;
}

}  // namespace release_signature
