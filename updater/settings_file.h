// The settings file: the 2048-byte settings block kept in config.cfg inside an enciphered
// container. Each encryption takes a fresh key (8 prefix digits and 8 bytes of a Park-Miller
// generator seeded from the tick count); a trailer stores the generator state and the masked
// chunk sizes. The container's layout is written down in docs/FORMATS.md, section 4; its trailer
// offsets below are the only place the code names them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "updater/aes_cipher.h"

namespace settings_file {

// The settings file, in the current directory (the application's directory).
constexpr char kConfigFileName[] = "config.cfg";
// Where a file that is neither a container nor a plain block is moved aside.
constexpr char kDamagedConfigFileName[] = "config.cfg.damaged";

constexpr size_t CONFIG_CHUNK_SIZE = 256;
constexpr size_t CONFIG_CHUNK_CIPHER_SIZE = 272;
constexpr size_t CONFIG_TRAILER_SIZE = 24;
static_assert(CONFIG_CHUNK_CIPHER_SIZE == CONFIG_CHUNK_SIZE + 16);
constexpr size_t PLAIN_BLOCK_SIZE = 2048;
// The container of a whole block; no settings file is longer, so nothing longer is read.
constexpr size_t MAX_SETTINGS_FILE_SIZE =
    PLAIN_BLOCK_SIZE / CONFIG_CHUNK_SIZE * CONFIG_CHUNK_CIPHER_SIZE + CONFIG_TRAILER_SIZE;
static_assert(MAX_SETTINGS_FILE_SIZE == 2200);

// Trailer word offsets.
constexpr size_t TRAILER_CHUNK_COUNT = 0;
constexpr size_t TRAILER_CHUNK_SIZE = 4;
constexpr size_t TRAILER_CHUNK_CIPHER_SIZE = 8;
constexpr size_t TRAILER_TAIL_SIZE = 12;
constexpr size_t TRAILER_TAIL_CIPHER_SIZE = 16;
constexpr size_t TRAILER_SEED = 20;
static_assert(TRAILER_SEED + 4 == CONFIG_TRAILER_SIZE);

std::optional<std::vector<uint8_t>> encryptChunk(std::span<const uint8_t> input);
std::optional<std::vector<uint8_t>> decryptChunk(std::span<const uint8_t> input);

// The process-wide key and generator state of the last file operation.
struct ConfigKeyState {
  aes_cipher::AesKey configKey{};
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

// Enciphers plain bytes with a fresh key into config.cfg of the application directory, replaced
// atomically; false (reported on standard error) when the file cannot be replaced.
bool storeSettings(std::span<const uint8_t> plain);

}  // namespace settings_file
