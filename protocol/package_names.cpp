#include "protocol/package_names.h"

namespace protocol {

namespace {

constexpr std::string_view kSuffix = ".BIN";

}  // namespace

std::string packageObjectKey(const Version& v) {
  return std::to_string(v.major) + "/" + std::to_string(v.minor) + "." + std::to_string(v.build) +
         std::string(kSuffix);
}

std::optional<Version> parsePackageObjectKey(std::string_view key) {
  const size_t slash = key.find('/');
  if (slash == std::string_view::npos || !key.ends_with(kSuffix)) return std::nullopt;
  std::string text(key.substr(0, key.size() - kSuffix.size()));
  text[slash] = '.';  // "A/B.C" reads as "A.B.C"; a second slash stays and is refused
  return parseCanonicalVersion(text);
}

std::string packageFileName(const Version& v) {
  return versionText(v) + std::string(kSuffix);
}

std::optional<Version> parsePackageFileName(std::string_view name) {
  if (!name.ends_with(kSuffix)) return std::nullopt;
  return parseCanonicalVersion(name.substr(0, name.size() - kSuffix.size()));
}

}  // namespace protocol
