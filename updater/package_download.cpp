#include "updater/package_download.h"

#include "updater/builtin_config.h"
#include "updater/package_install.h"
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
  std::vector<uint8_t> package;
  {
    FetchedObject object =
        fetch(storageTargetFor(settings_block::language(state.settingsBlock)), key);
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
  std::string file =
      update_conversation::packageFileNameFor(settings_block::version(state.settingsBlock));
  if (!package_install::installPackage(package, file)) {
    state.statusLine.set(update_texts::fileFault(chinese));
    return false;
  }
  finishInstalled(state, chinese);
  return true;
}

}  // namespace package_download
