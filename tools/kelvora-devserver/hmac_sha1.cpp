#include "tools/kelvora-devserver/hmac_sha1.h"

#include <cstring>

namespace devserver {
namespace {

constexpr size_t kBlock = 64;

uint32_t rotl(uint32_t v, int n) {
  return (v << n) | (v >> (32 - n));
}

class Sha1 {
 public:
  void update(const uint8_t* data, size_t size) {
    total_ += size;
    while (size > 0) {
      size_t take = std::min(size, kBlock - used_);
      std::memcpy(block_ + used_, data, take);
      used_ += take;
      data += take;
      size -= take;
      if (used_ == kBlock) {
        compress();
        used_ = 0;
      }
    }
  }
  void update(std::string_view s) { update(reinterpret_cast<const uint8_t*>(s.data()), s.size()); }

  Sha1Digest finish() {
    uint64_t bits = total_ * 8;
    uint8_t pad = 0x80;
    update(&pad, 1);
    uint8_t zero = 0;
    while (used_ != kBlock - 8) update(&zero, 1);
    uint8_t length[8];
    for (int i = 0; i < 8; ++i) length[i] = static_cast<uint8_t>(bits >> (56 - 8 * i));
    update(length, 8);
    Sha1Digest out;
    for (int i = 0; i < 5; ++i)
      for (int j = 0; j < 4; ++j) out[4 * i + j] = static_cast<uint8_t>(h_[i] >> (24 - 8 * j));
    return out;
  }

 private:
  void compress() {
    uint32_t w[80];
    for (int i = 0; i < 16; ++i)
      w[i] = (uint32_t{block_[4 * i]} << 24) | (uint32_t{block_[4 * i + 1]} << 16) |
             (uint32_t{block_[4 * i + 2]} << 8) | uint32_t{block_[4 * i + 3]};
    for (int i = 16; i < 80; ++i) w[i] = rotl(w[i - 3] ^ w[i - 8] ^ w[i - 14] ^ w[i - 16], 1);
    uint32_t a = h_[0], b = h_[1], c = h_[2], d = h_[3], e = h_[4];
    for (int i = 0; i < 80; ++i) {
      uint32_t f, k;
      if (i < 20) {
        f = (b & c) | (~b & d);
        k = 0x5A827999;
      } else if (i < 40) {
        f = b ^ c ^ d;
        k = 0x6ED9EBA1;
      } else if (i < 60) {
        f = (b & c) | (b & d) | (c & d);
        k = 0x8F1BBCDC;
      } else {
        f = b ^ c ^ d;
        k = 0xCA62C1D6;
      }
      uint32_t t = rotl(a, 5) + f + e + k + w[i];
      e = d;
      d = c;
      c = rotl(b, 30);
      b = a;
      a = t;
    }
    h_[0] += a;
    h_[1] += b;
    h_[2] += c;
    h_[3] += d;
    h_[4] += e;
  }

  uint32_t h_[5] = {0x67452301, 0xEFCDAB89, 0x98BADCFE, 0x10325476, 0xC3D2E1F0};
  uint8_t block_[kBlock] = {};
  size_t used_ = 0;
  uint64_t total_ = 0;
};

}  // namespace

Sha1Digest sha1(std::string_view data) {
  Sha1 s;
  s.update(data);
  return s.finish();
}

Sha1Digest hmacSha1(std::string_view key, std::string_view data) {
  uint8_t k[kBlock] = {};
  if (key.size() > kBlock) {
    Sha1Digest hashed = sha1(key);
    std::memcpy(k, hashed.data(), hashed.size());
  } else {
    std::memcpy(k, key.data(), key.size());
  }
  uint8_t inner[kBlock], outer[kBlock];
  for (size_t i = 0; i < kBlock; ++i) {
    inner[i] = k[i] ^ 0x36;
    outer[i] = k[i] ^ 0x5C;
  }
  Sha1 in;
  in.update(inner, kBlock);
  in.update(data);
  Sha1Digest innerDigest = in.finish();
  Sha1 out;
  out.update(outer, kBlock);
  out.update(innerDigest.data(), innerDigest.size());
  return out.finish();
}

std::string base64(const uint8_t* data, size_t size) {
  static constexpr char kAlphabet[] =
      "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
  std::string out;
  out.reserve((size + 2) / 3 * 4);
  for (size_t i = 0; i < size; i += 3) {
    uint32_t group = uint32_t{data[i]} << 16;
    if (i + 1 < size) group |= uint32_t{data[i + 1]} << 8;
    if (i + 2 < size) group |= data[i + 2];
    out += kAlphabet[(group >> 18) & 63];
    out += kAlphabet[(group >> 12) & 63];
    out += i + 1 < size ? kAlphabet[(group >> 6) & 63] : '=';
    out += i + 2 < size ? kAlphabet[group & 63] : '=';
  }
  return out;
}

}  // namespace devserver
