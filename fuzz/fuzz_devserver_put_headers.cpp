// The store's reading of a PUT's Content-MD5 and Content-Length values on arbitrary bytes: what
// is accepted must be the one canonical text of what it gives back, checked against libcrypto's
// own base64 and the C library's number reading.
#include <openssl/evp.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "tools/kelvora-devserver/object_upload.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  if (auto md5 = devserver::parseContentMd5(text)) {
    unsigned char encoded[32] = {};
    EVP_EncodeBlock(encoded, md5->data(), static_cast<int>(md5->size()));
    if (text != reinterpret_cast<const char*>(encoded)) std::abort();
  }
  const uint64_t limit = size > 0 ? uint64_t{1} << (data[0] % 64) : 0;
  if (auto length = devserver::parseContentLength(text, limit)) {
    const std::string digits(text);
    if (*length > limit || digits.find_first_not_of("0123456789") != std::string::npos ||
        std::strtoull(digits.c_str(), nullptr, 10) != *length)
      std::abort();
  }
  return 0;
}
