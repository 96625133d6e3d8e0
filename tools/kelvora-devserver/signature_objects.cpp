#include "tools/kelvora-devserver/signature_objects.h"

#include <cstdio>
#include <fstream>
#include <sstream>

#include "protocol/package_names.h"

namespace devserver {

namespace {

// "MAJOR/MINOR.BUILD.BIN" at the end of the path names the version a package is signed for.
std::optional<protocol::Version> versionOfPackage(const std::string& path) {
  const size_t file = path.rfind('/');
  const size_t dir = file == std::string::npos ? std::string::npos : path.rfind('/', file - 1);
  if (file == std::string::npos || dir == std::string::npos) return std::nullopt;
  return protocol::parsePackageObjectKey(path.substr(dir + 1));
}

}  // namespace

bool SignatureObjects::load(const Options& options, std::string* error) {
  damage_ = options.damageSignatures;
  if (options.signKeyFile.empty()) return true;
  std::ifstream in(options.signKeyFile, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  if (!in) {
    *error = "--sign-key: cannot read " + options.signKeyFile;
    return false;
  }
  std::string why;
  key_ = release_signing::parseSecretKeyFile(text.str(), &why);
  if (!key_) *error = "--sign-key: " + options.signKeyFile + ": " + why;
  return key_.has_value();
}

std::optional<std::string> SignatureObjects::lookup(const std::string& objectPath) const {
  const std::string suffix = release_signature::SIGNATURE_SUFFIX;
  if (!key_ || !objectPath.ends_with(suffix)) return std::nullopt;
  const std::string package = objectPath.substr(0, objectPath.size() - suffix.size());
  const auto version = versionOfPackage(package);
  std::string error;
  auto signature =
      version ? release_signing::signPackage(*key_, package, *version, &error, true) : std::nullopt;
  if (!signature) return std::nullopt;
  std::string& file = *signature;
  if (damage_) {
    // The first character of the signature bytes on line 2 (past "ED" and the key id).
    const size_t line2 = file.find('\n') + 1;
    file[line2 + 16] = file[line2 + 16] == 'A' ? 'B' : 'A';
  }
  return file;
}

}  // namespace devserver
