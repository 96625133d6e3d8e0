#include "updater/package_resume.h"

#include <cstdio>
#include <filesystem>
#include <system_error>

#include "protocol/package_names.h"
#include "updater/app_directory.h"

namespace package_resume {

namespace {

constexpr char kEtagSuffix[] = ".etag";
constexpr char kPackageSuffix[] = ".BIN";
constexpr size_t kMaxEtag = 127;
constexpr size_t kMaxCount = 3;  // digits of the idle-run count

std::optional<protocol::Version> packageVersion(const std::string& name) {
  return protocol::parsePackageFileName(name);
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
      app_directory::readHead(etagFileFor(packageFile).c_str(), kMaxEtag + 1 + kMaxCount);
  // Only a regular file of one link is ours to continue; anything else is written anew.
  const std::optional<uint64_t> size = app_directory::plainFileSize(packageFile.c_str());
  if (!etag || !size) return std::nullopt;
  std::string text(etag->begin(), etag->end());
  KeptPart kept{*size, text.substr(0, text.find('\n')), 0};
  if (!isStrongEtag(kept.etag)) return std::nullopt;
  if (kept.etag.size() < text.size()) {
    const std::string count = text.substr(kept.etag.size() + 1);
    if (count.empty() || count.size() > kMaxCount || count[0] == '0' ||
        count.find_first_not_of("0123456789") != std::string::npos)
      return std::nullopt;
    kept.idleRuns = unsigned(std::stoul(count));
  }
  return kept;
}

bool rememberEtag(const std::string& packageFile, const std::string& etag, unsigned idleRuns) {
  const std::string text = idleRuns == 0 ? etag : etag + "\n" + std::to_string(idleRuns);
  return app_directory::replaceAtomically(
      etagFileFor(packageFile).c_str(),
      std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text.data()), text.size()));
}

ResumeAnswer judgeResumeAnswer(const KeptPart& kept, int status, const std::string& etag,
                               int64_t rangeFirst, int64_t objectSize) {
  switch (status) {
    case 206:
      return etag == kept.etag && rangeFirst == int64_t(kept.size) ? ResumeAnswer::kContinues
                                                                   : ResumeAnswer::kStartOver;
    case 416:
      return objectSize == int64_t(kept.size) && (etag.empty() || etag == kept.etag)
                 ? ResumeAnswer::kKeptIsWhole
                 : ResumeAnswer::kStartOver;
    default:
      return status / 100 == 2 ? ResumeAnswer::kReplaces : ResumeAnswer::kFailed;
  }
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
