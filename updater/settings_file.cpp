#include "updater/settings_file.h"

#include <cstring>
#include <string>

#include "platform/clock.h"
#include "updater/app_directory.h"
#include "updater/builtin_config.h"
#include "updater/little_endian.h"
#include "updater/park_miller.h"

namespace settings_file {

using namespace aes_cipher;

ConfigKeyState& configKeyState() {
  static ConfigKeyState state;
  return state;
}

namespace {

std::optional<std::vector<uint8_t>> runChunk(std::span<const uint8_t> input, bool decrypting) {
  CipherStream stream;
  if (cipherSetup(stream, CIPHER_ECB, PADDING_PKCS7, nullptr, configKeyState().configKey,
                  decrypting) != 0) {
    return std::nullopt;
  }
  std::vector<uint8_t> out(input.size() + 32, 0);
  size_t updated = 0, finished = 0;
  if (cipherUpdate(stream, input.data(), input.size(), out.data(), &updated) != 0) {
    return std::nullopt;
  }
  if (cipherFinal(stream, out.data() + updated, &finished) != 0) return std::nullopt;
  out.resize(updated + finished);
  return out;
}

}  // namespace

std::optional<std::vector<uint8_t>> encryptChunk(std::span<const uint8_t> input) {
  return runChunk(input, false);
}

std::optional<std::vector<uint8_t>> decryptChunk(std::span<const uint8_t> input) {
  return runChunk(input, true);
}

int32_t drawSeed(uint32_t (*tick)()) {
  uint32_t ticks = tick();
  while (ticks == 0) ticks = tick();
  int32_t s = static_cast<int32_t>(ticks);
  for (int i = 0; i < 9999; ++i) s = park_miller::parkMillerNext(s);
  return s;
}

void completeKey(bool newSeed) {
  ConfigKeyState& state = configKeyState();
  std::string prefix = builtin_config::configKeyPrefixDigits();
  std::memcpy(state.configKey.data(), prefix.data(), 8);
  state.configKey[8] = 0;
  if (newSeed) state.configSeed = drawSeed(platform::tickCount);
  int32_t k = state.configSeed;
  for (int i = 0; i < 8; ++i) {
    k = park_miller::parkMillerNext(k);
    state.configKey[8 + i] = static_cast<uint8_t>(k & 0xFF);
  }
}

namespace {

// The five masks that follow the seed; they equal the first five key-byte outputs.
std::array<uint32_t, 5> trailerMasks(int32_t seed) {
  std::array<uint32_t, 5> m{};
  int32_t x = seed;
  for (auto& v : m) {
    x = park_miller::parkMillerNext(x);
    v = static_cast<uint32_t>(x);
  }
  return m;
}

void appendLe32(std::vector<uint8_t>& out, uint32_t v) {
  out.resize(out.size() + 4);
  little_endian::writeU32(out, out.size() - 4, v);
}

size_t tailCipherSize(size_t tail) {
  return 16 * (tail / 16 + 1);
}

}  // namespace

std::optional<std::vector<uint8_t>> encryptContainer(std::span<const uint8_t> plain) {
  if (plain.empty()) return std::nullopt;
  completeKey(true);
  const size_t n = plain.size() / CONFIG_CHUNK_SIZE, r = plain.size() % CONFIG_CHUNK_SIZE;
  std::vector<uint8_t> out;
  out.reserve(n * CONFIG_CHUNK_CIPHER_SIZE + 256 + CONFIG_TRAILER_SIZE);
  for (size_t i = 0; i <= n; ++i) {
    size_t length = i < n ? CONFIG_CHUNK_SIZE : r;
    if (length == 0) break;
    auto chunk = encryptChunk(plain.subspan(i * CONFIG_CHUNK_SIZE, length));
    if (!chunk) return std::nullopt;
    out.insert(out.end(), chunk->begin(), chunk->end());
  }
  const int32_t seed = configKeyState().configSeed;
  const auto m = trailerMasks(seed);
  const uint32_t chunkCipher = n ? CONFIG_CHUNK_CIPHER_SIZE : 0;
  const uint32_t tailCipher = r ? static_cast<uint32_t>(tailCipherSize(r)) : chunkCipher;
  appendLe32(out, static_cast<uint32_t>(n) ^ m[0]);
  appendLe32(out, static_cast<uint32_t>(CONFIG_CHUNK_SIZE) ^ m[1]);
  appendLe32(out, chunkCipher ^ m[2]);
  appendLe32(out, static_cast<uint32_t>(r) ^ m[3]);
  appendLe32(out, tailCipher ^ m[4]);
  appendLe32(out, static_cast<uint32_t>(seed));
  return out;
}

std::optional<std::vector<uint8_t>> decryptContainer(std::span<const uint8_t> file) {
  if (file.size() < CONFIG_TRAILER_SIZE) return std::nullopt;
  const auto trailer = file.subspan(file.size() - CONFIG_TRAILER_SIZE);
  const int32_t seed = static_cast<int32_t>(little_endian::readU32(trailer, TRAILER_SEED));
  const auto m = trailerMasks(seed);
  const uint64_t n = little_endian::readU32(trailer, TRAILER_CHUNK_COUNT) ^ m[0];
  const uint32_t chunkSize = little_endian::readU32(trailer, TRAILER_CHUNK_SIZE) ^ m[1];
  const uint32_t chunkCipher = little_endian::readU32(trailer, TRAILER_CHUNK_CIPHER_SIZE) ^ m[2];
  const uint32_t r = little_endian::readU32(trailer, TRAILER_TAIL_SIZE) ^ m[3];
  const uint32_t tailCipher = little_endian::readU32(trailer, TRAILER_TAIL_CIPHER_SIZE) ^ m[4];

  // Only the exact shape the encryption makes is a container; anything else is left alone.
  if (chunkSize != CONFIG_CHUNK_SIZE) return std::nullopt;
  if (chunkCipher != (n ? CONFIG_CHUNK_CIPHER_SIZE : 0)) return std::nullopt;
  if (r >= CONFIG_CHUNK_SIZE) return std::nullopt;
  if (tailCipher != (r ? tailCipherSize(r) : chunkCipher)) return std::nullopt;
  if (n == 0 && r == 0) return std::nullopt;
  const uint64_t expected =
      n * CONFIG_CHUNK_CIPHER_SIZE + (r ? tailCipher : 0) + CONFIG_TRAILER_SIZE;
  if (expected != file.size()) return std::nullopt;

  configKeyState().configSeed = seed;
  completeKey(false);
  std::vector<uint8_t> plain;
  plain.reserve(n * CONFIG_CHUNK_SIZE + r);
  for (uint64_t i = 0; i <= n; ++i) {
    const bool tail = i == n;
    if (tail && r == 0) break;
    const size_t cipherLength = tail ? tailCipher : CONFIG_CHUNK_CIPHER_SIZE;
    const size_t plainLength = tail ? r : CONFIG_CHUNK_SIZE;
    auto chunk = decryptChunk(file.subspan(i * CONFIG_CHUNK_CIPHER_SIZE, cipherLength));
    if (!chunk || chunk->size() != plainLength) return std::nullopt;
    plain.insert(plain.end(), chunk->begin(), chunk->end());
  }
  return plain;
}

bool storeSettings(std::span<const uint8_t> plain) {
  std::optional<std::vector<uint8_t>> container = encryptContainer(plain);
  return container && app_directory::replaceAtomically(kConfigFileName, *container);
}

}  // namespace settings_file
