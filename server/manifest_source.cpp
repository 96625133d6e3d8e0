#include "server/manifest_source.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "server/release_manifest.h"
#include "storage_client/oss_object_download.h"

namespace server {

namespace {

constexpr size_t kReadLimit = release_manifest::MANIFEST_MAX_BYTES + 1;

int collect(void* user, const uint8_t* data, size_t len) {
  auto* text = static_cast<std::string*>(user);
  if (text->size() + len > kReadLimit) return 1;  // no manifest is this large: stop
  text->append(reinterpret_cast<const char*>(data), len);
  return 0;
}

}  // namespace

std::optional<std::string> readManifestFile(const std::string& path, std::string* error) {
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    *error = path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string text;
  char buffer[8192];
  for (;;) {
    ssize_t n = read(fd, buffer, sizeof buffer);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) {
      *error = path + ": " + std::strerror(errno);
      close(fd);
      return std::nullopt;
    }
    if (n == 0 || text.size() >= kReadLimit) break;
    text.append(buffer, size_t(n));
  }
  close(fd);
  return text;
}

ObjectManifestSource::ObjectManifestSource(std::string endpoint, const std::string& object,
                                           std::string accessKeyId, std::string secret)
    : endpoint_(std::move(endpoint)),
      bucket_(object.substr(0, object.find('/'))),
      key_(object.substr(object.find('/') + 1)),
      accessKeyId_(std::move(accessKeyId)),
      secret_(std::move(secret)) {}

ObjectManifestSource::Result ObjectManifestSource::fetch(std::string* text, std::string* error) {
  text->clear();
  oss_download_target target{endpoint_.c_str(), accessKeyId_.c_str(),
                             secret_.c_str(),   bucket_.c_str(),
                             key_.c_str(),      -1,
                             nullptr,           etag_.empty() ? nullptr : etag_.c_str()};
  oss_download_outcome outcome{};
  oss_download_object(&target, collect, text, &outcome);
  if (outcome.status == 304) return Result::Unchanged;
  if (outcome.status == 200) {
    etag_ = outcome.etag;
    return Result::Changed;
  }
  *error = "GET " + bucket_ + "/" + key_ + ": status " + std::to_string(outcome.status);
  if (outcome.error_code[0] != '\0') *error += std::string(" ") + outcome.error_code;
  if (outcome.error_message[0] != '\0') *error += std::string(": ") + outcome.error_message;
  return Result::Failed;
}

}  // namespace server
