#include "protocol/client_report.h"

#include <algorithm>
#include <cstring>

namespace client_report {

namespace {

std::string_view fieldText(std::span<const uint8_t, REPORT_SIZE> r, size_t offset, size_t room) {
  const char* text = reinterpret_cast<const char*>(r.data() + offset);
  return std::string_view(text, strnlen(text, room));
}

}  // namespace

void putU32(Report& r, size_t offset, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) r[offset + i] = uint8_t(v >> (8 * i));
}

uint32_t getU32(std::span<const uint8_t, REPORT_SIZE> r, size_t offset) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= uint32_t(r[offset + i]) << (8 * i);
  return v;
}

void setPublicAddress(Report& r, std::string_view address) {
  if (address.size() >= PUBLIC_ADDRESS_SIZE) address = "0.0.0.0";
  std::fill_n(r.begin() + PUBLIC_ADDRESS, PUBLIC_ADDRESS_SIZE, uint8_t{0});
  std::copy(address.begin(), address.end(), r.begin() + PUBLIC_ADDRESS);
}

std::string_view publicAddress(std::span<const uint8_t, REPORT_SIZE> r) {
  return fieldText(r, PUBLIC_ADDRESS, PUBLIC_ADDRESS_SIZE);
}

std::string_view cpuVendor(std::span<const uint8_t, REPORT_SIZE> r) {
  return fieldText(r, CPU_VENDOR, CPU_VENDOR_SIZE);
}

MachineFacts machineFacts(std::span<const uint8_t, REPORT_SIZE> r) {
  return {getU32(r, PACKAGE_COUNT), getU32(r, LOGICAL_PROCESSORS),
          getU32(r, CPU_MHZ),       getU32(r, MEMORY_MB),
          publicAddress(r),         cpuVendor(r)};
}

}  // namespace client_report
