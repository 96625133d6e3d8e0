// The download step of an update: the package object is read from the storage region of the
// user's language into memory, joined, and installed by the safe replacement of package_install.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "updater/app_state.h"

namespace package_download {

struct StorageTarget {
  const char* endpoint;
  const char* bucket;
};
// 2052: the Beijing-region endpoint and its bucket; every other language the Hong Kong ones.
StorageTarget storageTargetFor(uint32_t language);

// What a fetch gives: the HTTP status (or a negative client code) and the body as buffers in
// order. The buffers stay valid while `owner` lives.
struct FetchedObject {
  int32_t status = -1;
  std::vector<std::span<const uint8_t>> buffers;
  std::shared_ptr<void> owner;
};
using ObjectFetcher = std::function<FetchedObject(const StorageTarget&, const std::string& key)>;

// The storage client's signed GET, with the built-in key pair.
FetchedObject fetchFromStorage(const StorageTarget& target, const std::string& key);
// Process-wide start and end of the storage client: 0 on success.
int startStorageClient();
void stopStorageClient();

// Success is a status of 200 to 299.
bool isFetchSuccess(int32_t status);

// Runs once when the state is UPDATE_PENDING. Gives true when the update is installed (state
// UPDATE_DONE, "completed" text, the expected size made equal to the downloaded count); false
// with the "File fault" text and the state left at UPDATE_PENDING otherwise. An empty package key
// means a pushed package is already installed: nothing is fetched. With publisher keys built in,
// the package is installed only when K.minisig beside it holds a valid signature for the
// announced version; any failure ends as a failed fetch does, with one line on standard error.
bool downloadAndInstall(AppState& state, const ObjectFetcher& fetch);

}  // namespace package_download
