#include "updater/package_resume.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "updater/app_directory.h"
#include "updater/settings_block.h"
#include "updater/update_conversation.h"

namespace package_resume {

namespace {

constexpr char kEtagSuffix[] = ".etag";
constexpr char kPackageSuffix[] = ".BIN";
constexpr size_t kMaxEtag = 127;

// "A.B.C.BIN" with three decimal numbers, as packageFileNameFor makes it.
std::optional<settings_block::Version> packageVersion(const std::string& name) {
  unsigned major = 0, minor = 0, build = 0;
  int end = 0;
  if (std::sscanf(name.c_str(), "%u.%u.%u.BIN%n", &major, &minor, &build, &end) != 3 ||
      size_t(end) != name.size())
    return std::nullopt;
  settings_block::Version v{major, minor, build};
  if (update_conversation::packageFileNameFor(v) != name) return std::nullopt;
  return v;
}

bool exists(const std::string& path) {
  return app_directory::plainFileSize(path.c_str()).has_value();
}

}  // namespace

std::string etagFileFor(const std::string& packageFile) {
  return packageFile + kEtagSuffix;
}

bool isStrongEtag(const std::string& etag) {
  if (etag.size() < 2 || etag.size() > kMaxEtag || etag.front() != '"' || etag.back() != '"')
    return false;
  for (size_t i = 1; i + 1 < etag.size(); ++i) {
    const unsigned char c = static_cast<unsigned char>(etag[i]);
    if (c <= ' ' || c == '"' || c >= 0x7F) return false;
  }
  return true;
}

std::optional<KeptPart> keptPart(const std::string& packageFile) {
  std::optional<std::vector<uint8_t>> etag =
      app_directory::readHead(etagFileFor(packageFile).c_str(), kMaxEtag + 1);
  // Only a regular file of one link is ours to continue; anything else is written anew.
  const std::optional<uint64_t> size = app_directory::plainFileSize(packageFile.c_str());
  if (!etag || !size) return std::nullopt;
  KeptPart kept{*size, std::string(etag->begin(), etag->end())};
  if (!isStrongEtag(kept.etag)) return std::nullopt;
  return kept;
}

bool rememberEtag(const std::string& packageFile, const std::string& etag) {
  return app_directory::replaceAtomically(
      etagFileFor(packageFile).c_str(),
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(etag.data()), etag.size()));
}

void discard(const std::string& packageFile) {
  app_directory::remove(etagFileFor(packageFile).c_str());
  app_directory::remove(packageFile.c_str());
}

bool isKeptForResume(const std::string& name) {
  std::string package = name;
  if (name.ends_with(kEtagSuffix)) package.resize(name.size() - (sizeof kEtagSuffix - 1));
  return packageVersion(package) && exists(package) && exists(etagFileFor(package));
}

bool isResumeFile(const std::string& name) {
  // The temporary of replaceFileAtomically: "." + the name + "." + six characters.
  constexpr size_t kTempTail = 7;
  std::string etagFile = name;
  if (name.starts_with('.') && name.size() > kTempTail + 1) {
    etagFile = name.substr(1, name.size() - 1 - kTempTail);
    if (name[name.size() - kTempTail] != '.') return false;
  }
  if (!etagFile.ends_with(kEtagSuffix)) return false;
  return packageVersion(etagFile.substr(0, etagFile.size() - (sizeof kEtagSuffix - 1))).has_value();
}

void discardAllBut(const std::string& packageFile) {
  std::error_code error;
  std::vector<std::string> names;
  for (std::filesystem::directory_iterator it(".", error), end; !error && it != end;
       it.increment(error))
    names.push_back(it->path().filename().string());
  for (std::string name : names) {
    if (name.ends_with(kEtagSuffix)) name.resize(name.size() - (sizeof kEtagSuffix - 1));
    if (!name.ends_with(kPackageSuffix) || !packageVersion(name)) continue;
    if (name != packageFile || !exists(etagFileFor(name))) discard(name);
  }
}

}  // namespace package_resume
