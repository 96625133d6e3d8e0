#include "tools/kelvora-devserver/object_upload.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "updater/release_signature.h"

namespace devserver {

std::optional<Md5> parseContentMd5(std::string_view text) {
  // Strict base64 gives each digest exactly one text.
  auto bytes = release_signature::decodeBase64(text);
  if (!bytes || bytes->size() != Md5{}.size()) return std::nullopt;
  Md5 out{};
  std::copy(bytes->begin(), bytes->end(), out.begin());
  return out;
}

std::optional<uint64_t> parseContentLength(std::string_view text, uint64_t limit) {
  if (text.empty() || text.size() > 19) return std::nullopt;
  uint64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    v = v * 10 + static_cast<uint64_t>(c - '0');
  }
  if (v > limit) return std::nullopt;
  return v;
}

ObjectUpload::~ObjectUpload() {
  discard();
  EVP_MD_CTX_free(md5_);
}

bool ObjectUpload::open(const std::string& bucketDir, const std::string& object, bool digest,
                        std::string* why) {
  finalPath_ = bucketDir + "/" + object;
  for (size_t slash = object.find('/'); slash != std::string::npos;
       slash = object.find('/', slash + 1)) {
    std::string dir = bucketDir + "/" + object.substr(0, slash);
    if (::mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST) {
      *why = dir + ": " + std::strerror(errno);
      return false;
    }
  }
  const size_t lastSlash = finalPath_.rfind('/');
  tempPath_ = finalPath_.substr(0, lastSlash + 1) + std::string(kUploadPrefix) + "XXXXXX";
  fd_ = ::mkostemp(tempPath_.data(), O_CLOEXEC);
  if (digest) md5_ = EVP_MD_CTX_new();
  if (fd_ < 0 ||
      (digest && (md5_ == nullptr || EVP_DigestInit_ex(md5_, EVP_md5(), nullptr) != 1))) {
    *why = fd_ < 0 ? tempPath_ + ": " + std::strerror(errno) : "no MD5";
    return false;
  }
  ::fchmod(fd_, 0644);
  return true;
}

bool ObjectUpload::write(const char* data, size_t len) {
  if (fd_ < 0 || (md5_ != nullptr && EVP_DigestUpdate(md5_, data, len) != 1)) return false;
  while (len > 0) {
    ssize_t n = ::write(fd_, data, len);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return false;
    data += n;
    len -= static_cast<size_t>(n);
  }
  return true;
}

Md5 ObjectUpload::digest() {
  Md5 out{};
  unsigned int len = 0;
  EVP_MD_CTX* copy = EVP_MD_CTX_new();
  if (md5_ != nullptr && copy != nullptr && EVP_MD_CTX_copy_ex(copy, md5_) == 1)
    EVP_DigestFinal_ex(copy, out.data(), &len);
  EVP_MD_CTX_free(copy);
  return out;
}

bool ObjectUpload::commit(std::string* why) {
  if (fd_ < 0) return false;
  const bool closed = ::close(fd_) == 0;
  fd_ = -1;
  if (!closed || std::rename(tempPath_.c_str(), finalPath_.c_str()) != 0) {
    *why = finalPath_ + ": " + std::strerror(errno);
    ::unlink(tempPath_.c_str());
    tempPath_.clear();
    return false;
  }
  tempPath_.clear();
  return true;
}

void ObjectUpload::discard() {
  if (fd_ >= 0) ::close(fd_);
  fd_ = -1;
  if (!tempPath_.empty()) ::unlink(tempPath_.c_str());
  tempPath_.clear();
}

}  // namespace devserver
