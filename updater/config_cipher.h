// The settings file cipher: AES-128 in ECB mode with PKCS#7 padding over 256-byte chunks, a
// fresh key per encryption (8 prefix digits and 8 bytes of a Park-Miller generator seeded from
// the tick count), and a trailer that stores the generator state and the masked chunk sizes.
//
// Container of P plain bytes, n = P / 256 full chunks, r = P % 256 tail bytes, all integers
// 32-bit little-endian:
//   272 * n bytes   each full chunk enciphered alone (256 bytes + one block of padding)
//   c bytes         only when r > 0: the tail enciphered alone, c = 16 * (r / 16 + 1)
//   24 bytes        trailer: n ^ m1, 256 ^ m2, (n ? 272 : 0) ^ m3, r ^ m4,
//                   (r ? c : word 2's value) ^ m5, S; m1..m5 are the generator outputs after S.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>
#include <vector>

constexpr size_t CONFIG_CHUNK_SIZE = 256;
constexpr size_t CONFIG_CHUNK_CIPHER_SIZE = 272;
constexpr size_t CONFIG_TRAILER_SIZE = 24;
static_assert(CONFIG_CHUNK_CIPHER_SIZE == CONFIG_CHUNK_SIZE + 16);

// Trailer word offsets.
constexpr size_t TRAILER_CHUNK_COUNT = 0;
constexpr size_t TRAILER_CHUNK_SIZE = 4;
constexpr size_t TRAILER_CHUNK_CIPHER_SIZE = 8;
constexpr size_t TRAILER_TAIL_SIZE = 12;
constexpr size_t TRAILER_TAIL_CIPHER_SIZE = 16;
constexpr size_t TRAILER_SEED = 20;
static_assert(TRAILER_SEED + 4 == CONFIG_TRAILER_SIZE);

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

std::optional<std::vector<uint8_t>> encryptChunk(std::span<const uint8_t> input);
std::optional<std::vector<uint8_t>> decryptChunk(std::span<const uint8_t> input);

// One step of the minimal standard generator (16807 * x mod 2^31 - 1, by Schrage's method).
int32_t parkMillerNext(int32_t x);

// The process-wide key and generator state of the last file operation.
struct ConfigKeyState {
  AesKey configKey{};
  int32_t configSeed = 0;
};
ConfigKeyState& configKeyState();

// Writes the prefix; with newSeed draws S from the tick count (9999 generator steps from a
// non-zero tick); then fills key bytes 8 to 15 from S.
void completeKey(bool newSeed);
// The seed drawn from a tick source, re-reading while it gives 0.
int32_t drawSeed(uint32_t (*tick)());

// Whole containers in memory: encryption of P > 0 plain bytes with a fresh key, and decryption
// that gives nothing unless the bytes form a valid container.
std::optional<std::vector<uint8_t>> encryptContainer(std::span<const uint8_t> plain);
std::optional<std::vector<uint8_t>> decryptContainer(std::span<const uint8_t> file);

// In place on a file, replaced atomically. A missing or empty file is left as it is, and so is
// a file that is not a valid container (decryption) ; false when nothing was converted.
bool encryptConfigFileAt(const std::filesystem::path& path);
bool decryptConfigFileAt(const std::filesystem::path& path);
// The same on config.cfg in the current directory; callers do not look at the outcome.
void encryptConfigFile();
void decryptConfigFile();
