#include "tools/kelvora-pack/pack_signing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <map>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/write_all.h"
#include "protocol/version_text.h"
#include "updater/release_signature.h"
#include "updater/release_signing.h"

namespace pack_signing {

namespace {

using release_signature::printable;

int failure(const std::string& message) {
  std::fprintf(stderr, "kelvora-pack: %s\n", message.c_str());
  return 1;
}

// "--name value" pairs and one PACKAGE; false on anything else.
bool parseArguments(int argc, char** argv, const std::vector<std::string>& names,
                    std::map<std::string, std::string>* values, std::string* package) {
  for (int i = 0; i < argc; ++i) {
    std::string arg = argv[i];
    bool known = false;
    for (const auto& name : names) known = known || arg == name;
    if (known && i + 1 < argc) {
      (*values)[arg] = argv[++i];
    } else if (!arg.starts_with("--") && package->empty()) {
      *package = arg;
    } else {
      return false;
    }
  }
  return !package->empty();
}

// At most `limit` bytes of a file; nullopt when it cannot be opened.
std::optional<std::string> readFile(const std::string& path, size_t limit) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return std::nullopt;
  std::string bytes(limit, '\0');
  in.read(bytes.data(), std::streamsize(limit));
  bytes.resize(size_t(in.gcount()));
  return bytes;
}

// Creates a new file (never over an existing one) with the given mode and contents.
bool writeNewFile(const char* path, const std::string& text, mode_t mode) {
  int fd = ::open(path, O_WRONLY | O_CREAT | O_EXCL, mode);
  if (fd < 0) return false;
  bool ok =
      platform::writeAll(fd, std::span(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
  ok = ::close(fd) == 0 && ok;
  if (!ok) ::unlink(path);
  return ok;
}

// KEY is a public key's base64 line, or a minisign public key file holding one.
std::optional<release_signature::PublicKey> loadPublicKey(const std::string& key) {
  if (auto parsed = release_signature::parsePublicKey(key)) return parsed;
  auto text = readFile(key, release_signature::MAX_SIGNATURE_FILE);
  if (!text) return std::nullopt;
  std::istringstream lines(*text);
  std::string line;
  while (std::getline(lines, line)) {
    if (line.ends_with('\r')) line.pop_back();
    if (auto parsed = release_signature::parsePublicKey(line)) return parsed;
  }
  return std::nullopt;
}

}  // namespace

int keygen(const char* publicPath, const char* secretPath) {
  release_signing::KeyFiles files = release_signing::generateKeyPair();
  if (files.publicKeyFile.empty()) return failure("the crypto library did not start");
  if (!writeNewFile(secretPath, files.secretKeyFile, 0600))
    return failure(std::string("cannot create ") + secretPath + " (it must not exist yet)");
  if (!writeNewFile(publicPath, files.publicKeyFile, 0644)) {
    ::unlink(secretPath);
    return failure(std::string("cannot create ") + publicPath + " (it must not exist yet)");
  }
  std::fputs(files.publicKeyFile.c_str(), stdout);
  return 0;
}

int sign(int argc, char** argv) {
  std::map<std::string, std::string> values;
  std::string package;
  if (!parseArguments(argc, argv, {"--secret-key", "--version"}, &values, &package) ||
      !values.count("--secret-key") || !values.count("--version"))
    return failure("usage: sign --secret-key FILE --version A.B.C PACKAGE"), 2;
  auto version = protocol::parseCanonicalVersion(values["--version"]);
  if (!version) return failure("--version: not A.B.C in canonical decimal"), 2;
  auto secretText = readFile(values["--secret-key"], 4096);
  if (!secretText) return failure("cannot read " + values["--secret-key"]);
  std::string error;
  auto secret = release_signing::parseSecretKeyFile(*secretText, &error);
  if (!secret) return failure(values["--secret-key"] + ": " + error);
  auto signature = release_signing::signPackage(*secret, package, *version, &error);
  if (!signature) return failure(printable(error));
  const std::string path = package + release_signature::SIGNATURE_SUFFIX;
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << *signature;
  out.close();
  if (!out) return failure("cannot write " + path);
  return 0;
}

int verify(int argc, char** argv) {
  std::map<std::string, std::string> values;
  std::string package;
  if (!parseArguments(argc, argv, {"--public-key", "--version", "--signature"}, &values,
                      &package) ||
      !values.count("--public-key") || !values.count("--version"))
    return failure("usage: verify --public-key KEY --version A.B.C PACKAGE [--signature FILE]"), 2;
  auto version = protocol::parseCanonicalVersion(values["--version"]);
  if (!version) return failure("--version: not A.B.C in canonical decimal"), 2;
  auto key = loadPublicKey(values["--public-key"]);
  if (!key) return failure("--public-key: not a minisign public key or key file"), 2;
  const std::string signaturePath = values.count("--signature")
                                        ? values["--signature"]
                                        : package + release_signature::SIGNATURE_SUFFIX;
  // One byte past the limit lets the check refuse an oversized file without reading it all.
  auto signature = readFile(signaturePath, release_signature::MAX_SIGNATURE_FILE + 1);
  if (!signature)
    return failure(printable(package) + ": missing signature object " + printable(signaturePath));
  std::string reason;
  auto checked = release_signature::checkSignatureFile(
      std::span(reinterpret_cast<const uint8_t*>(signature->data()), signature->size()), *version,
      std::span(&*key, 1), &reason);
  if (!checked) return failure(printable(package) + ": " + reason);
  auto facts = release_signing::measurePackage(package, &reason);
  if (!facts) return failure(printable(reason));
  auto result = release_signature::checkPackageHash(*checked, facts->hash);
  if (!result.ok) return failure(printable(package) + ": " + result.reason);
  if (!facts->decodeFault.empty()) return failure(printable(facts->decodeFault));
  // The sizes Update.exe bounds its download by must be the file's.
  const auto& comment = checked->comment;
  if (comment.packageSize && *comment.packageSize != facts->packageBytes)
    return failure(printable(package) + ": package-size:" + std::to_string(*comment.packageSize) +
                   " in the trusted comment, but the file has " +
                   std::to_string(facts->packageBytes) + " bytes");
  if (comment.programSize && *comment.programSize != facts->programBytes)
    return failure(printable(package) + ": program-size:" + std::to_string(*comment.programSize) +
                   " in the trusted comment, but the package decodes to " +
                   std::to_string(facts->programBytes) + " bytes");
  std::printf("%s: %s\n", printable(package).c_str(), result.reason.c_str());
  return 0;
}

}  // namespace pack_signing
