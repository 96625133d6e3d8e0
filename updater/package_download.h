// The download step of an update, in one streaming pass: the package object comes off the
// network into the package file, each block is unpacked into the temporary program as soon as
// it is complete, and the swap runs only after the last byte, once the package is whole and the
// temporary program is on disk. A download that is cut off keeps what it has, with the object's
// ETag beside it, and the next run for the same version asks only for the rest.
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <string>

#include "updater/app_state.h"
#include "updater/release_signature.h"

namespace package_download {

struct StorageTarget {
  const char* endpoint;
  const char* bucket;
};
// 2052: the Beijing-region endpoint and its bucket; every other language the Hong Kong ones.
StorageTarget storageTargetFor(uint32_t language);

// One object GET; rangeStart >= 0 asks for "bytes=rangeStart-", sent with If-Range: ifRange.
struct FetchRequest {
  StorageTarget target{};
  std::string key;
  int64_t rangeStart = -1;
  std::string ifRange;
};

// What a response says of itself, known before its first body byte.
struct ResponseHead {
  int32_t status = -1;      // HTTP status, or a negative client code
  std::string etag;         // as sent, quotes kept; "" when absent
  int64_t rangeFirst = -1;  // first byte of a 206, kept when its body then fails
  int64_t objectSize = -1;  // whole object size as the response declares it; -1 when it does not
};

// Receives a 2xx response: its head once, then the body in order. False from either stops the
// transfer. Error bodies never reach it.
class BodySink {
 public:
  virtual ~BodySink() = default;
  virtual bool begin(const ResponseHead& head) = 0;
  virtual bool write(std::span<const uint8_t> bytes) = 0;
};

struct FetchOutcome {
  ResponseHead head;
  bool complete = false;  // the whole body arrived (not cut short, not stopped by the sink)
};
using ObjectFetcher = std::function<FetchOutcome(const FetchRequest&, BodySink&)>;

// Success is a status of 200 to 299.
bool isFetchSuccess(int32_t status);

// Runs once when the state is UPDATE_PENDING. Gives true when the update is installed (state
// UPDATE_DONE, "completed" text, the expected size made equal to the downloaded count); false
// with the "File fault" text and the state left at UPDATE_PENDING otherwise. An empty package key
// means a pushed package is already installed: nothing is fetched. With publisher keys built in,
// the package is installed only when K.minisig beside it holds a valid signature for the
// announced version, checked (but for the package hash) before the package is asked for; any
// failure ends as a failed fetch does, with one line on standard error.
//
// The signed comment's package-size and program-size bound the download and the decoder: the
// first byte past either, or a response that declares another length, is refused. Without
// them, each is capped at UNSIGNED_SIZE_LIMIT, and a body whose length the response does not
// declare (no Content-Length, no Content-Range total) is never installed.
bool downloadAndInstall(app_state::AppState& state, const ObjectFetcher& fetch);
// The same with these keys instead of the built-in ones (none: nothing is checked).
bool downloadAndInstall(app_state::AppState& state, const ObjectFetcher& fetch,
                        std::span<const release_signature::PublicKey> keys);

constexpr uint64_t UNSIGNED_SIZE_LIMIT = uint64_t{1} << 30;

}  // namespace package_download
