// The 164-byte little-endian report of machine facts sent to the update server. The layout is
// written once here as named offsets; fields are stored byte by byte, never through a struct.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <string_view>

#include "updater/app_state.h"
#include "updater/little_endian.h"

namespace client_report {

constexpr size_t PACKAGE_COUNT = 0;       // u32
constexpr size_t LOGICAL_PROCESSORS = 4;  // u32
constexpr size_t CPU_MHZ = 8;             // u32
constexpr size_t MEMORY_MB = 12;          // u32
constexpr size_t RESERVED_ZERO = 16;      // u32, always 0
constexpr size_t PUBLIC_ADDRESS = 20;     // 16 bytes, NUL-terminated dotted IPv4
constexpr size_t PUBLIC_ADDRESS_SIZE = 16;
constexpr size_t CPU_VENDOR = 36;  // 12 characters and a NUL
constexpr size_t CPU_VENDOR_SIZE = 13;
constexpr size_t FIXED_BYTE_100 = 100;  // u8 2
constexpr size_t FIXED_BYTE_103 = 103;  // u8 0
static_assert(CPU_VENDOR + CPU_VENDOR_SIZE == 49);
static_assert(CLIENT_REPORT_SIZE == 164);

using Report = std::array<uint8_t, CLIENT_REPORT_SIZE>;

inline void putU32(Report& r, size_t offset, uint32_t v) {
  little_endian::writeU32(r, offset, v);
}
inline uint32_t getU32(const Report& r, size_t offset) {
  return little_endian::readU32(r, offset);
}

// Stores a dotted address; a text longer than 15 characters is not an address and becomes
// "0.0.0.0" rather than being cut.
void setPublicAddress(Report& r, std::string_view address);
std::string_view publicAddress(const Report& r);

}  // namespace client_report
