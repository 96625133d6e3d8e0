// The 2048-byte settings block: the version of the installed application, the user's language,
// fixed defaults and random filler. Offsets are written once here; the block is plain bytes.
#pragma once

#include <array>
#include <cstdint>
#include <span>

#include "protocol/version_text.h"
#include "updater/app_state.h"
#include "updater/little_endian.h"

namespace settings_block {

constexpr size_t FIXED_BYTE_0 = 0;           // u8 0
constexpr size_t MANY_PROCESSORS = 16;       // u8: 1 with 4 or more logical processors
constexpr size_t FIXED_BYTES_17_TO_20 = 17;  // u32 0x00010101
constexpr size_t VERSION_BUILD = 28;         // u32
constexpr size_t VERSION_MAJOR = 32;         // u32
constexpr size_t VERSION_MINOR = 36;         // u32
constexpr size_t FIXED_U32_40 = 40;          // u32 0
constexpr size_t FIXED_U32_44 = 44;          // u32 0
constexpr size_t LANGUAGE = 48;              // u32, Windows language identifier
constexpr size_t FIXED_U16_52 = 52;          // u16 0x7F4E
static_assert(FIXED_U16_52 + 2 <= app_state::SETTINGS_BLOCK_SIZE);

constexpr uint32_t LANGUAGE_CHINESE = 2052;
constexpr uint32_t LANGUAGE_ENGLISH_DEFAULT = 9;

using Block = std::array<uint8_t, app_state::SETTINGS_BLOCK_SIZE>;

inline uint32_t getU32(const Block& b, size_t offset) {
  return little_endian::readU32(b, offset);
}
inline void putU32(Block& b, size_t offset, uint32_t v) {
  little_endian::writeU32(b, offset, v);
}

using Version = protocol::Version;
Version version(const Block& b);
void setVersion(Block& b, const Version& v);
inline uint32_t language(const Block& b) {
  return getU32(b, LANGUAGE);
}
inline bool isChinese(const Block& b) {
  return language(b) == LANGUAGE_CHINESE;
}

// The first-run block: 2048 bytes of Park-Miller filler from *state (advanced in place), then
// every default written over its field.
Block makeDefaultBlock(int32_t* fillerState, uint32_t logicalProcessors);

}  // namespace settings_block
