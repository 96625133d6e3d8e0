// The store's side of an object PUT: the request's Content-MD5 and Content-Length read, and the
// body taken piece by piece into a temporary file beside the object, renamed into place only
// once it is whole and its MD5 matches, so that a GET never sees half an object and a refused
// PUT leaves nothing behind.
#pragma once

#include <openssl/evp.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace devserver {

using Md5 = std::array<uint8_t, 16>;

// Temporary bodies are named with this prefix; the store serves no object named so.
constexpr std::string_view kUploadPrefix = ".put-";

// A Content-MD5 value: the base64 of 16 bytes (24 characters, "==" at the end); nothing for
// anything else.
std::optional<Md5> parseContentMd5(std::string_view text);

// A Content-Length value: decimal digits only, at most `limit`; nothing otherwise.
std::optional<uint64_t> parseContentLength(std::string_view text, uint64_t limit);

class ObjectUpload {
 public:
  ObjectUpload() = default;
  ~ObjectUpload();  // a body not committed is removed
  ObjectUpload(const ObjectUpload&) = delete;
  ObjectUpload& operator=(const ObjectUpload&) = delete;

  // Makes the object's missing parent folders below `bucketDir` and the temporary file; false
  // with the reason when it cannot. With `digest` the body's MD5 is taken as it arrives (it costs
  // as much as the transfer, so only when the request brought one to compare).
  bool open(const std::string& bucketDir, const std::string& object, bool digest, std::string* why);
  bool write(const char* data, size_t len);
  // The MD5 of everything written (opened with `digest`).
  Md5 digest();
  // Moves the body into place; false with the reason when it cannot (it is then removed).
  bool commit(std::string* why);

 private:
  void discard();
  int fd_ = -1;
  std::string tempPath_, finalPath_;
  EVP_MD_CTX* md5_ = nullptr;
};

}  // namespace devserver
