// The port 9910 conversation as the load generator and the floor server speak it, built from the
// protocol/ unit that Update.exe and kelvora-server share (docs/FORMATS.md, section 2).
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>

#include "protocol/client_report.h"
#include "protocol/messages.h"

namespace server_load {

// A hello whose machine facts vary with `serial`, so that a server computing cohorts spreads the
// generated clients over them as it would spread real ones.
inline std::array<uint8_t, protocol::HELLO_SIZE> helloFor(uint32_t serial) {
  using namespace client_report;
  Report r{};
  putU32(r, PACKAGE_COUNT, 1);
  putU32(r, LOGICAL_PROCESSORS, 2u << (serial % 4));
  putU32(r, CPU_MHZ, 1800 + (serial % 17) * 100);
  putU32(r, MEMORY_MB, 4096u << (serial % 3));
  char address[PUBLIC_ADDRESS_SIZE] = {};
  std::snprintf(address, sizeof address, "10.%u.%u.%u", (serial >> 16) & 255, (serial >> 8) & 255,
                serial & 255);
  setPublicAddress(r, address);
  const char* vendor = serial % 3 ? "GenuineIntel" : "AuthenticAMD";
  for (size_t i = 0; i + 1 < CPU_VENDOR_SIZE; ++i) r[CPU_VENDOR + i] = uint8_t(vendor[i]);
  r[FIXED_BYTE_100] = 2;
  return protocol::helloMessage(r);
}

// The one answer the floor server gives: 3.11.0, size 1000 (the example of the format document).
inline std::array<uint8_t, protocol::VERSION_ANSWER_SIZE> fixedAnswer() {
  return protocol::versionAnswerMessage({protocol::Version{3, 11, 0}, 1000});
}

}  // namespace server_load
