// The storage client side of the download: one streamed GET, the body going to the sink as it
// arrives. The client keeps its pools to itself.
#include "updater/package_fetch.h"

#include "storage_client/aos_http_io.h"
#include "storage_client/oss_object_download.h"
#include "updater/builtin_config.h"

namespace package_download {

namespace {

struct Relay {
  BodySink& sink;
  const oss_download_outcome& outcome;
  bool begun = false;
};

ResponseHead headOf(const oss_download_outcome& o) {
  ResponseHead head;
  head.status = o.status;
  head.etag = o.etag;
  head.rangeFirst = o.range_first;
  head.objectSize = o.object_size;
  return head;
}

// The client describes the response in the outcome before it hands over the first piece.
int relayPiece(void* user, const uint8_t* data, size_t len) {
  auto* relay = static_cast<Relay*>(user);
  if (!relay->begun) {
    relay->begun = true;
    if (!relay->sink.begin(headOf(relay->outcome))) return 1;
  }
  return relay->sink.write(std::span<const uint8_t>(data, len)) ? 0 : 1;
}

}  // namespace

FetchOutcome fetchFromStorage(const FetchRequest& request, BodySink& sink) {
  const BuiltinConfig& config = builtinConfig();
  oss_download_target target{};
  target.endpoint = request.target.endpoint;
  target.access_key_id = config.accessKeyId;
  target.access_key_secret = config.accessKeySecret;
  target.bucket = request.target.bucket;
  target.object = request.key.c_str();
  target.range_start = request.rangeStart;
  target.if_range =
      request.rangeStart >= 0 && !request.ifRange.empty() ? request.ifRange.c_str() : nullptr;
  oss_download_outcome outcome{};
  Relay relay{sink, outcome};
  oss_download_object(&target, relayPiece, &relay, &outcome);
  FetchOutcome result;
  result.head = headOf(outcome);
  // An empty body gives the sink no piece: it still learns of the response.
  if (isFetchSuccess(outcome.status) && !relay.begun && !sink.begin(result.head)) return result;
  result.complete = isFetchSuccess(outcome.status);
  return result;
}

int startStorageClient() {
  return aos_http_io_initialize();
}

void stopStorageClient() {
  aos_http_io_shutdown();
}

}  // namespace package_download
