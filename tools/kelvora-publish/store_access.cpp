#include "tools/kelvora-publish/store_access.h"

#include <sys/stat.h>

#include <cstring>

#include "storage_client/oss_object_download.h"
#include "storage_client/oss_object_head.h"
#include "storage_client/oss_object_upload.h"
#include "tools/kelvora-publish/step_output.h"

namespace publish {

namespace {

oss_object_target targetFor(const ObjectPlace& place, const KeyPair& key) {
  return {place.store.endpoint.c_str(), key.id.c_str(), key.secret.c_str(),
          place.store.bucket.c_str(), place.key.c_str()};
}

// "HTTP 403 AccessDenied: message", or the client's own reason for a request that got no answer.
std::string problemText(int status, const char* code, const char* message) {
  std::string text = status < 0 ? "no answer (client error " + std::to_string(status) + ")"
                                : "HTTP " + std::to_string(status);
  if (code != nullptr && *code != '\0') text += " " + shown(code);
  if (message != nullptr && *message != '\0') text += ": " + shown(message);
  return text;
}

template <typename Outcome>
void fill(ObjectAnswer* answer, const Outcome& outcome) {
  answer->status = outcome.status;
  answer->etag = outcome.etag;
  if (outcome.status / 100 != 2)
    answer->problem = problemText(outcome.status, outcome.error_code, outcome.error_message);
}

struct PieceSink {
  const BodyPiece* piece;
  static int take(void* user, const uint8_t* data, size_t len) {
    return (*static_cast<PieceSink*>(user)->piece)(std::span(data, len)) ? 0 : 1;
  }
};

}  // namespace

std::string placeText(const ObjectPlace& place) {
  return place.store.bucket + "/" + place.key;
}

ObjectAnswer headObject(const ObjectPlace& place, const KeyPair& key) {
  const oss_object_target target = targetFor(place, key);
  oss_object_outcome outcome{};
  oss_head_object(&target, &outcome);
  ObjectAnswer answer;
  fill(&answer, outcome);
  answer.length = outcome.content_length;
  return answer;
}

GetAnswer getObject(const ObjectPlace& place, const KeyPair& key, const BodyPiece& piece) {
  const oss_download_target target{place.store.endpoint.c_str(),
                                   key.id.c_str(),
                                   key.secret.c_str(),
                                   place.store.bucket.c_str(),
                                   place.key.c_str(),
                                   -1,
                                   nullptr,
                                   nullptr};
  oss_download_outcome outcome{};
  PieceSink sink{&piece};
  oss_download_object(&target, &PieceSink::take, &sink, &outcome);
  GetAnswer answer;
  fill(&answer, outcome);
  answer.length = outcome.object_size;
  // A cut or stopped body is not a 2xx outcome for the client (aos_err_transfer, a write error).
  answer.complete = outcome.status / 100 == 2;
  return answer;
}

GetAnswer getSmallObject(const ObjectPlace& place, const KeyPair& key, size_t limit,
                         std::string* body) {
  body->clear();
  bool tooLong = false;
  GetAnswer answer = getObject(place, key, [&](std::span<const uint8_t> bytes) {
    if (body->size() + bytes.size() > limit) return !(tooLong = true);
    body->append(reinterpret_cast<const char*>(bytes.data()), bytes.size());
    return true;
  });
  if (tooLong) fail(placeText(place) + " is longer than " + std::to_string(limit) + " bytes");
  return answer;
}

ObjectAnswer putFile(const ObjectPlace& place, const KeyPair& key, const std::string& path) {
  struct stat st {};
  const int64_t total = ::stat(path.c_str(), &st) == 0 ? int64_t(st.st_size) : -1;
  ProgressBar bar("upload " + placeText(place), total);
  const oss_object_target target = targetFor(place, key);
  oss_object_outcome outcome{};
  oss_put_object_from_file(
      &target, path.c_str(),
      [](void* user, int64_t sent, int64_t) { static_cast<ProgressBar*>(user)->update(sent); },
      &bar, &outcome);
  ObjectAnswer answer;
  fill(&answer, outcome);
  return answer;
}

}  // namespace publish
