// SHA-1, HMAC-SHA1 and Base64, written here so that the server checks request signatures
// independently of the client's own signing code.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace devserver {

using Sha1Digest = std::array<uint8_t, 20>;

Sha1Digest sha1(std::string_view data);
Sha1Digest hmacSha1(std::string_view key, std::string_view data);
std::string base64(const uint8_t* data, size_t size);

}  // namespace devserver
