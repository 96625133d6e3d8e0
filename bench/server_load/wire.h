// The port 9910 conversation as the load generator and the floor server speak it
// (docs/FORMATS.md, section 2). The shared layouts are moving into protocol/; until the server
// side lands them there, these few constants mirror the format document and nothing else.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>

namespace server_load {

constexpr uint16_t MSG_HELLO = 0x2000;
constexpr uint16_t MSG_KEEPALIVE = 0x1004;
constexpr uint16_t MSG_VERSION = 0x2001;

constexpr size_t TYPE_SIZE = 2;
constexpr size_t REPORT_SIZE = 164;
constexpr size_t HELLO_SIZE = TYPE_SIZE + REPORT_SIZE;
constexpr size_t ANSWER_SIZE = TYPE_SIZE + 16;
static_assert(HELLO_SIZE == 166 && ANSWER_SIZE == 18);

// Report offsets (after the type).
constexpr size_t REPORT_PACKAGES = 0;
constexpr size_t REPORT_LOGICAL = 4;
constexpr size_t REPORT_CLOCK_MHZ = 8;
constexpr size_t REPORT_MEMORY_MIB = 12;
constexpr size_t REPORT_PUBLIC_ADDRESS = 20;
constexpr size_t REPORT_PUBLIC_ADDRESS_SIZE = 16;
constexpr size_t REPORT_VENDOR = 36;
constexpr size_t REPORT_MARKER = 100;
static_assert(REPORT_MARKER < REPORT_SIZE);

inline void putU16(uint8_t* at, uint16_t v) {
  at[0] = uint8_t(v);
  at[1] = uint8_t(v >> 8);
}
inline void putU32(uint8_t* at, uint32_t v) {
  for (int i = 0; i < 4; ++i) at[i] = uint8_t(v >> (8 * i));
}

// A hello whose machine facts vary with `serial`, so that a server computing cohorts spreads the
// generated clients over them as it would spread real ones.
inline std::array<uint8_t, HELLO_SIZE> helloFor(uint32_t serial) {
  std::array<uint8_t, HELLO_SIZE> m{};
  putU16(m.data(), MSG_HELLO);
  uint8_t* r = m.data() + TYPE_SIZE;
  putU32(r + REPORT_PACKAGES, 1);
  putU32(r + REPORT_LOGICAL, 2u << (serial % 4));
  putU32(r + REPORT_CLOCK_MHZ, 1800 + (serial % 17) * 100);
  putU32(r + REPORT_MEMORY_MIB, 4096u << (serial % 3));
  char address[REPORT_PUBLIC_ADDRESS_SIZE] = {};
  std::snprintf(address, sizeof address, "10.%u.%u.%u", (serial >> 16) & 255, (serial >> 8) & 255,
                serial & 255);
  std::memcpy(r + REPORT_PUBLIC_ADDRESS, address, sizeof address);
  std::memcpy(r + REPORT_VENDOR, serial % 3 ? "GenuineIntel" : "AuthenticAMD", 12);
  r[REPORT_MARKER] = 2;
  return m;
}

inline std::array<uint8_t, TYPE_SIZE> keepAlive() {
  std::array<uint8_t, TYPE_SIZE> m{};
  putU16(m.data(), MSG_KEEPALIVE);
  return m;
}

// The one answer the floor server gives: 3.11.0, size 1000 (the example of the format document).
inline std::array<uint8_t, ANSWER_SIZE> fixedAnswer() {
  std::array<uint8_t, ANSWER_SIZE> m{};
  putU16(m.data(), MSG_VERSION);
  putU32(m.data() + 2, 3);
  putU32(m.data() + 6, 11);
  putU32(m.data() + 10, 0);
  putU32(m.data() + 14, 1000);
  return m;
}

}  // namespace server_load
