#include "updater/settings_block.h"

#include "updater/config_cipher.h"

namespace settings_block {

uint32_t getU32(const Block& b, size_t offset) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= static_cast<uint32_t>(b[offset + i]) << (8 * i);
  return v;
}

void putU32(Block& b, size_t offset, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) b[offset + i] = static_cast<uint8_t>(v >> (8 * i));
}

Version version(const Block& b) {
  return {getU32(b, VERSION_MAJOR), getU32(b, VERSION_MINOR), getU32(b, VERSION_BUILD)};
}

void setVersion(Block& b, const Version& v) {
  putU32(b, VERSION_MAJOR, v.major);
  putU32(b, VERSION_MINOR, v.minor);
  putU32(b, VERSION_BUILD, v.build);
}

Block makeDefaultBlock(int32_t* fillerState, uint32_t logicalProcessors) {
  Block b{};
  int32_t s = *fillerState;
  for (auto& byte : b) {
    s = parkMillerNext(s);
    byte = static_cast<uint8_t>(s & 0xFF);
  }
  *fillerState = s;
  b[FIXED_BYTE_0] = 0;
  b[MANY_PROCESSORS] = logicalProcessors >= 4 ? 1 : 0;
  putU32(b, FIXED_BYTES_17_TO_20, 0x00010101u);
  putU32(b, VERSION_BUILD, 0);
  putU32(b, VERSION_MAJOR, 0);
  putU32(b, VERSION_MINOR, 0);
  putU32(b, FIXED_U32_40, 0);
  putU32(b, FIXED_U32_44, 0);
  putU32(b, LANGUAGE, LANGUAGE_ENGLISH_DEFAULT);
  b[FIXED_U16_52] = 0x4E;
  b[FIXED_U16_52 + 1] = 0x7F;
  return b;
}

}  // namespace settings_block
