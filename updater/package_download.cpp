#include "updater/package_download.h"

#include <algorithm>
#include <cstdio>

#include "updater/builtin_config.h"
#include "updater/package_install.h"
#include "updater/release_signature.h"
#include "updater/settings_block.h"
#include "updater/update_conversation.h"
#include "updater/update_texts.h"

namespace package_download {

StorageTarget storageTargetFor(uint32_t language) {
  const BuiltinConfig& config = builtinConfig();
  if (language == settings_block::LANGUAGE_CHINESE)
    return {config.storageEndpointCn, config.bucketCn};
  return {config.storageEndpointEn, config.bucketEn};
}

bool isFetchSuccess(int32_t status) {
  return status > 0 && status / 100 == 2;
}

namespace {

// One line on standard error for a refused package; the window shows the usual fault text.
void reportRefused(const std::string& key, const std::string& reason) {
  std::fprintf(stderr, "Update.exe: package %s not installed: %s\n",
               release_signature::printable(key).c_str(), reason.c_str());
}

// The publisher signature gate. With keys built in, the object K.minisig is fetched with the
// same signed GET as K, and the check that installPackage applies to the package's hash is
// returned; without keys the check is empty and nothing is fetched. False when the signature
// object cannot be had (reported).
bool prepareSignatureCheck(const ObjectFetcher& fetch, const StorageTarget& target,
                           const std::string& key, const settings_block::Version& announced,
                           package_install::PackageCheck* check) {
  if (!release_signature::publisherKeysBuiltIn()) return true;
  const std::string signatureKey = key + release_signature::SIGNATURE_SUFFIX;
  FetchedObject object = fetch(target, signatureKey);
  if (!isFetchSuccess(object.status)) {
    reportRefused(key, "missing signature object " + release_signature::printable(signatureKey) +
                           " (HTTP " + std::to_string(object.status) + ")");
    return false;
  }
  // One byte past the limit is enough for the parser to refuse an oversized file unread.
  auto signature = std::make_shared<std::vector<uint8_t>>();
  for (const auto& buffer : object.buffers) {
    size_t room = release_signature::MAX_SIGNATURE_FILE + 1 - signature->size();
    signature->insert(signature->end(), buffer.begin(),
                      buffer.begin() + std::min(room, buffer.size()));
  }
  *check = [signature, key, announced](const release_signature::Hash& packageHash) {
    auto result = release_signature::checkPackageSignature(*signature, packageHash, announced);
    if (!result.ok) reportRefused(key, result.reason);
    return result.ok;
  };
  return true;
}

void finishInstalled(AppState& state, bool chinese) {
  state.updateState = UPDATE_DONE;
  state.statusLine.set(update_texts::updateCompleted(chinese));
  state.expectedPackageSize = state.downloadedByteCount.load();
}

}  // namespace

bool downloadAndInstall(AppState& state, const ObjectFetcher& fetch) {
  const bool chinese = settings_block::isChinese(state.settingsBlock);
  std::string key = state.packageKey.get();
  if (key.empty()) {
    finishInstalled(state, chinese);
    return true;
  }
  const StorageTarget target = storageTargetFor(settings_block::language(state.settingsBlock));
  const settings_block::Version announced = settings_block::version(state.settingsBlock);
  package_install::PackageCheck check;
  if (!prepareSignatureCheck(fetch, target, key, announced, &check)) {
    state.statusLine.set(update_texts::fileFault(chinese));
    return false;
  }
  std::vector<uint8_t> package;
  {
    FetchedObject object = fetch(target, key);
    if (!isFetchSuccess(object.status)) {
      state.statusLine.set(update_texts::fileFault(chinese));
      return false;
    }
    uint64_t total = 0;
    for (const auto& buffer : object.buffers) total += buffer.size();
    package.resize(size_t(total));
    uint64_t copied = 0;
    for (const auto& buffer : object.buffers) {
      std::copy(buffer.begin(), buffer.end(), package.begin() + copied);
      copied += buffer.size();
      state.downloadedByteCount = static_cast<float>(copied);
    }
    state.packageSize = static_cast<uint32_t>(total);
    // The body's own memory goes here, before the package is written and unpacked.
  }
  std::string file = update_conversation::packageFileNameFor(announced);
  if (!package_install::installPackage(package, file, check)) {
    state.statusLine.set(update_texts::fileFault(chinese));
    return false;
  }
  finishInstalled(state, chinese);
  return true;
}

}  // namespace package_download
