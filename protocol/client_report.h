// The 164-byte little-endian report of machine facts that opens the conversation. The layout is
// written once here as named offsets; fields are stored byte by byte, never through a struct.
// Update.exe fills it, kelvora-devserver logs it and kelvora-server reads it for cohorts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

namespace client_report {

constexpr size_t REPORT_SIZE = 164;
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
static_assert(PUBLIC_ADDRESS + PUBLIC_ADDRESS_SIZE == CPU_VENDOR);
static_assert(CPU_VENDOR + CPU_VENDOR_SIZE == 49);
static_assert(FIXED_BYTE_103 < REPORT_SIZE);

using Report = std::array<uint8_t, REPORT_SIZE>;

void putU32(Report& r, size_t offset, uint32_t v);
uint32_t getU32(std::span<const uint8_t, REPORT_SIZE> r, size_t offset);

// Stores a dotted address; a text longer than 15 characters is not an address and becomes
// "0.0.0.0" rather than being cut.
void setPublicAddress(Report& r, std::string_view address);
// A text field up to its first NUL, or the whole room when it has none (a report from outside
// need not be well formed).
std::string_view publicAddress(std::span<const uint8_t, REPORT_SIZE> r);
std::string_view cpuVendor(std::span<const uint8_t, REPORT_SIZE> r);

// The machine facts a server reads from a received report.
struct MachineFacts {
  uint32_t packageCount = 0, logicalProcessors = 0, cpuMhz = 0, memoryMb = 0;
  std::string_view publicAddress, cpuVendor;  // views into the report's bytes
};
MachineFacts machineFacts(std::span<const uint8_t, REPORT_SIZE> r);

}  // namespace client_report
