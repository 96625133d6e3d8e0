// AES-128 (FIPS-197) with table-driven rounds, and a streaming layer over it in ECB, CBC, OFB
// and CFB-128 with PKCS#7 or no padding. The settings file uses ECB with PKCS#7 only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace aes_cipher {

// Stream layer error codes.
constexpr int CIPHER_ERR_ARGUMENT = 4097;     // same buffer in and out, or an unknown mode/padding
constexpr int CIPHER_ERR_PADDING = 4099;      // the last block's padding does not verify
constexpr int CIPHER_ERR_PENDING = 4100;      // encryption final with bytes left and no padding
constexpr int CIPHER_ERR_SHORT_BLOCK = 4101;  // decryption final with a partial block

enum CipherMode : int32_t { CIPHER_ECB = 1, CIPHER_CBC = 2, CIPHER_OFB = 3, CIPHER_CFB = 4 };
enum CipherPadding : int32_t { PADDING_NONE = 1, PADDING_PKCS7 = 2 };

using AesKey = std::array<uint8_t, 16>;

struct AesSchedule {
  uint32_t keyWords = 4;  // 4 key words: 10 rounds
  std::array<uint32_t, 44> roundKeys{};
};
AesSchedule expandEncryptionKey(const AesKey& key);
AesSchedule expandDecryptionKey(const AesKey& key);  // the equivalent inverse cipher's schedule
void aesEncryptBlock(const AesSchedule& schedule, const uint8_t in[16], uint8_t out[16]);
void aesDecryptBlock(const AesSchedule& schedule, const uint8_t in[16], uint8_t out[16]);

struct CipherStream {
  int32_t mode = CIPHER_ECB;
  int32_t padding = PADDING_PKCS7;
  std::array<uint8_t, 16> initialVector{};
  std::array<uint8_t, 16> feedback{};
  std::array<uint8_t, 16> pending{};
  uint32_t pendingCount = 0;
  AesSchedule schedule;
  bool decrypting = false;
};

// Set-up gives 0 or CIPHER_ERR_ARGUMENT. Update and final write to out (which must have room
// for the input plus one block) and store the count written in *written.
int cipherSetup(CipherStream& s, int32_t mode, int32_t padding, const uint8_t iv[16],
                const AesKey& key, bool decrypting);
int cipherUpdate(CipherStream& s, const uint8_t* in, size_t length, uint8_t* out, size_t* written);
int cipherFinal(CipherStream& s, uint8_t* out, size_t* written);

}  // namespace aes_cipher
