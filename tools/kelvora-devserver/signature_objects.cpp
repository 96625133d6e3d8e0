#include "tools/kelvora-devserver/signature_objects.h"

#include <cstdio>
#include <fstream>
#include <sstream>

namespace devserver {

namespace {

// "MAJOR/MINOR.BUILD.BIN" at the end of the path names the version a package is signed for.
std::string versionOfPackage(const std::string& path) {
  const size_t file = path.rfind('/');
  const size_t dir = file == std::string::npos ? std::string::npos : path.rfind('/', file - 1);
  if (file == std::string::npos || dir == std::string::npos) return "";
  unsigned major = 0, minor = 0, build = 0;
  char tail[8] = {};
  const std::string name = path.substr(dir + 1);
  if (std::sscanf(name.c_str(), "%u/%u.%u.%7s", &major, &minor, &build, tail) != 4 ||
      std::string(tail) != "BIN")
    return "";
  return std::to_string(major) + "." + std::to_string(minor) + "." + std::to_string(build);
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
  const std::string version = versionOfPackage(package);
  auto hash = release_signing::hashFile(package);
  if (version.empty() || !hash) return std::nullopt;
  std::string file =
      release_signing::signatureFile(*key_, *hash, release_signing::releaseComment(version));
  if (damage_) {
    // The first character of the signature bytes on line 2 (past "ED" and the key id).
    const size_t line2 = file.find('\n') + 1;
    file[line2 + 16] = file[line2 + 16] == 'A' ? 'B' : 'A';
  }
  return file;
}

}  // namespace devserver
