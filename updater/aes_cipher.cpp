#include "updater/aes_cipher.h"

#include <cstring>

#include "updater/little_endian.h"

namespace aes_cipher {

namespace {

// AES tables, built once at compile time. Words hold a column little-endian: row 0 in the low byte.
struct AesTables {
  std::array<uint8_t, 256> sbox{}, inverseSbox{};
  std::array<uint32_t, 256> encrypt{}, decrypt{};  // MixColumns / InvMixColumns with the S-boxes
};

constexpr uint8_t xtime(uint8_t x) {
  return static_cast<uint8_t>((x << 1) ^ ((x & 0x80) ? 0x1B : 0));
}

constexpr uint8_t gfMul(uint8_t a, uint8_t b) {
  uint8_t r = 0;
  while (b) {
    if (b & 1) r ^= a;
    a = xtime(a);
    b >>= 1;
  }
  return r;
}

constexpr AesTables buildTables() {
  AesTables t;
  // Walk the field by the generator 3: p runs over all non-zero elements, q over their inverses.
  uint8_t p = 1, q = 1;
  do {
    p = static_cast<uint8_t>(p ^ xtime(p));
    q ^= static_cast<uint8_t>(q << 1);
    q ^= static_cast<uint8_t>(q << 2);
    q ^= static_cast<uint8_t>(q << 4);
    if (q & 0x80) q ^= 0x09;
    auto rotl = [](uint8_t v, int s) { return static_cast<uint8_t>((v << s) | (v >> (8 - s))); };
    uint8_t s = static_cast<uint8_t>(q ^ rotl(q, 1) ^ rotl(q, 2) ^ rotl(q, 3) ^ rotl(q, 4) ^ 0x63);
    t.sbox[p] = s;
  } while (p != 1);
  t.sbox[0] = 0x63;
  for (int i = 0; i < 256; ++i) t.inverseSbox[t.sbox[i]] = static_cast<uint8_t>(i);
  for (int i = 0; i < 256; ++i) {
    uint8_t s = t.sbox[i];
    t.encrypt[i] = static_cast<uint32_t>(gfMul(s, 2)) | static_cast<uint32_t>(s) << 8 |
                   static_cast<uint32_t>(s) << 16 | static_cast<uint32_t>(gfMul(s, 3)) << 24;
    uint8_t v = t.inverseSbox[i];
    t.decrypt[i] = static_cast<uint32_t>(gfMul(v, 14)) | static_cast<uint32_t>(gfMul(v, 9)) << 8 |
                   static_cast<uint32_t>(gfMul(v, 13)) << 16 |
                   static_cast<uint32_t>(gfMul(v, 11)) << 24;
  }
  return t;
}

constexpr AesTables kTables = buildTables();
static_assert(kTables.sbox[0x00] == 0x63 && kTables.sbox[0x53] == 0xED);

constexpr uint32_t rotl(uint32_t v, int s) {
  return s == 0 ? v : (v << s) | (v >> (32 - s));
}
constexpr uint8_t byteOf(uint32_t w, int i) {
  return static_cast<uint8_t>(w >> (8 * i));
}

uint32_t load32(const uint8_t* p) {
  return little_endian::readU32(std::span<const uint8_t>(p, 4), 0);
}
void store32(uint8_t* p, uint32_t v) {
  little_endian::writeU32(std::span<uint8_t>(p, 4), 0, v);
}

uint32_t subWord(uint32_t w) {
  return static_cast<uint32_t>(kTables.sbox[byteOf(w, 0)]) |
         static_cast<uint32_t>(kTables.sbox[byteOf(w, 1)]) << 8 |
         static_cast<uint32_t>(kTables.sbox[byteOf(w, 2)]) << 16 |
         static_cast<uint32_t>(kTables.sbox[byteOf(w, 3)]) << 24;
}

uint32_t invMixColumn(uint32_t w) {
  // The decrypt table includes the inverse S-box, so undo it with the S-box first.
  uint32_t r = 0;
  for (int k = 0; k < 4; ++k) r ^= rotl(kTables.decrypt[kTables.sbox[byteOf(w, k)]], 8 * k);
  return r;
}

}  // namespace

AesSchedule expandEncryptionKey(const AesKey& key) {
  AesSchedule s;
  auto& w = s.roundKeys;
  for (int i = 0; i < 4; ++i) w[i] = load32(key.data() + 4 * i);
  uint8_t rcon = 1;
  for (int i = 4; i < 44; ++i) {
    uint32_t t = w[i - 1];
    if (i % 4 == 0) {
      t = subWord(rotl(t, 24)) ^ rcon;
      rcon = xtime(rcon);
    }
    w[i] = w[i - 4] ^ t;
  }
  return s;
}

AesSchedule expandDecryptionKey(const AesKey& key) {
  AesSchedule e = expandEncryptionKey(key);
  AesSchedule d;
  for (int round = 0; round <= 10; ++round) {
    for (int c = 0; c < 4; ++c) {
      uint32_t w = e.roundKeys[4 * (10 - round) + c];
      d.roundKeys[4 * round + c] = (round == 0 || round == 10) ? w : invMixColumn(w);
    }
  }
  return d;
}

namespace {

// The ten rounds of either direction. Row k of output column c comes from input column
// c + k * step: step 1 is ShiftRows, step 3 is InvShiftRows.
void runRounds(const AesSchedule& schedule, const uint8_t in[16], uint8_t out[16],
               const std::array<uint32_t, 256>& roundTable, const std::array<uint8_t, 256>& sbox,
               int step) {
  const uint32_t* rk = schedule.roundKeys.data();
  uint32_t s[4], t[4];
  for (int c = 0; c < 4; ++c) s[c] = load32(in + 4 * c) ^ rk[c];
  for (int round = 1; round < 10; ++round) {
    rk += 4;
    for (int c = 0; c < 4; ++c) {
      t[c] = rk[c];
      for (int k = 0; k < 4; ++k) t[c] ^= rotl(roundTable[byteOf(s[(c + k * step) % 4], k)], 8 * k);
    }
    std::memcpy(s, t, sizeof s);
  }
  rk += 4;
  for (int c = 0; c < 4; ++c) {
    uint32_t w = 0;
    for (int k = 0; k < 4; ++k)
      w |= static_cast<uint32_t>(sbox[byteOf(s[(c + k * step) % 4], k)]) << (8 * k);
    store32(out + 4 * c, w ^ rk[c]);
  }
}

}  // namespace

void aesEncryptBlock(const AesSchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
  runRounds(schedule, in, out, kTables.encrypt, kTables.sbox, 1);
}

void aesDecryptBlock(const AesSchedule& schedule, const uint8_t in[16], uint8_t out[16]) {
  runRounds(schedule, in, out, kTables.decrypt, kTables.inverseSbox, 3);
}

namespace {

// One block through the stream's mode. OFB and CFB run the forward cipher in both directions.
void processBlock(CipherStream& s, const uint8_t in[16], uint8_t out[16]) {
  uint8_t block[16];
  switch (s.mode) {
    case CIPHER_ECB:
      if (s.decrypting)
        aesDecryptBlock(s.schedule, in, out);
      else
        aesEncryptBlock(s.schedule, in, out);
      return;
    case CIPHER_CBC:
      if (s.decrypting) {
        uint8_t saved[16];
        std::memcpy(saved, in, 16);
        aesDecryptBlock(s.schedule, in, block);
        for (int i = 0; i < 16; ++i) out[i] = block[i] ^ s.feedback[i];
        std::memcpy(s.feedback.data(), saved, 16);
      } else {
        for (int i = 0; i < 16; ++i) block[i] = in[i] ^ s.feedback[i];
        aesEncryptBlock(s.schedule, block, out);
        std::memcpy(s.feedback.data(), out, 16);
      }
      return;
    case CIPHER_OFB:
      aesEncryptBlock(s.schedule, s.feedback.data(), s.feedback.data());
      for (int i = 0; i < 16; ++i) out[i] = in[i] ^ s.feedback[i];
      return;
    default: {  // CFB-128
      uint8_t saved[16];
      std::memcpy(saved, in, 16);
      aesEncryptBlock(s.schedule, s.feedback.data(), block);
      for (int i = 0; i < 16; ++i) out[i] = in[i] ^ block[i];
      std::memcpy(s.feedback.data(), s.decrypting ? saved : out, 16);
      return;
    }
  }
}

}  // namespace

int cipherSetup(CipherStream& s, int32_t mode, int32_t padding, const uint8_t iv[16],
                const AesKey& key, bool decrypting) {
  if (mode < CIPHER_ECB || mode > CIPHER_CFB) return CIPHER_ERR_ARGUMENT;
  if (padding != PADDING_NONE && padding != PADDING_PKCS7) return CIPHER_ERR_ARGUMENT;
  s = CipherStream{};
  s.mode = mode;
  s.padding = padding;
  s.decrypting = decrypting;
  if (iv) std::memcpy(s.initialVector.data(), iv, 16);
  if (mode != CIPHER_ECB) s.feedback = s.initialVector;
  bool inverse = decrypting && (mode == CIPHER_ECB || mode == CIPHER_CBC);
  s.schedule = inverse ? expandDecryptionKey(key) : expandEncryptionKey(key);
  return 0;
}

int cipherUpdate(CipherStream& s, const uint8_t* in, size_t length, uint8_t* out, size_t* written) {
  *written = 0;
  if (in == out && length > 0) return CIPHER_ERR_ARGUMENT;
  // Decryption holds the last block back for the final step, where its padding is checked.
  const size_t keep = s.decrypting ? 16 : 15;
  if (s.pendingCount + length <= keep) {
    std::memcpy(s.pending.data() + s.pendingCount, in, length);
    s.pendingCount += static_cast<uint32_t>(length);
    return 0;
  }
  size_t fill = 16 - s.pendingCount;
  std::memcpy(s.pending.data() + s.pendingCount, in, fill);
  in += fill;
  length -= fill;
  processBlock(s, s.pending.data(), out);
  *written = 16;
  while (length > keep) {
    processBlock(s, in, out + *written);
    in += 16;
    length -= 16;
    *written += 16;
  }
  std::memcpy(s.pending.data(), in, length);
  s.pendingCount = static_cast<uint32_t>(length);
  return 0;
}

int cipherFinal(CipherStream& s, uint8_t* out, size_t* written) {
  *written = 0;
  if (!s.decrypting) {
    if (s.padding == PADDING_NONE) return s.pendingCount ? CIPHER_ERR_PENDING : 0;
    uint8_t value = static_cast<uint8_t>(16 - s.pendingCount);
    std::memset(s.pending.data() + s.pendingCount, value, value);
    processBlock(s, s.pending.data(), out);
    *written = 16;
    s.pendingCount = 0;
    return 0;
  }
  if (s.pendingCount == 0) return 0;
  if (s.pendingCount != 16) return CIPHER_ERR_SHORT_BLOCK;
  uint8_t block[16];
  processBlock(s, s.pending.data(), block);
  s.pendingCount = 0;
  size_t count = 16;
  if (s.padding == PADDING_PKCS7) {
    uint8_t p = block[15];
    if (p < 1 || p > 16) return CIPHER_ERR_PADDING;
    for (int i = 16 - p; i < 16; ++i) {
      if (block[i] != p) return CIPHER_ERR_PADDING;
    }
    count = 16u - p;
  }
  std::memcpy(out, block, count);
  *written = count;
  return 0;
}

}  // namespace aes_cipher
