#include "updater/settings_block.h"

#include "updater/park_miller.h"

namespace settings_block {

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
    s = park_miller::parkMillerNext(s);
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
  little_endian::writeU16(b, FIXED_U16_52, 0x7F4E);
  return b;
}

}  // namespace settings_block
