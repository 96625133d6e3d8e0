#include "tools/kelvora-devserver/report_json.h"

#include <algorithm>
#include <cstdio>
#include <string_view>

#include "protocol/client_report.h"

namespace devserver {
namespace {

using namespace client_report;

std::string jsonString(std::span<const uint8_t> bytes) {
  std::string out = "\"";
  for (uint8_t b : bytes) {
    if (b == '"' || b == '\\') {
      out += '\\';
      out += static_cast<char>(b);
    } else if (b < 0x20 || b >= 0x7F) {
      // Bytes outside printable ASCII are shown as the code points of the same value.
      char escaped[8];
      std::snprintf(escaped, sizeof escaped, "\\u%04x", b);
      out += escaped;
    } else {
      out += static_cast<char>(b);
    }
  }
  return out + "\"";
}

// The text of a fixed field up to its first NUL (or the whole field when there is none).
std::span<const uint8_t> fieldText(std::span<const uint8_t> field, bool* terminated) {
  for (size_t i = 0; i < field.size(); ++i)
    if (field[i] == 0) {
      *terminated = true;
      return field.first(i);
    }
  *terminated = false;
  return field;
}

bool allZero(std::span<const uint8_t> bytes) {
  for (uint8_t b : bytes)
    if (b != 0) return false;
  return true;
}

}  // namespace

std::string reportJson(std::span<const uint8_t> bytes, uint64_t client, const std::string& peer) {
  Report r{};
  std::copy_n(bytes.begin(), std::min(bytes.size(), r.size()), r.begin());
  std::span<const uint8_t> all(r);
  bool addressTerminated = false, vendorTerminated = false;
  auto address = fieldText(all.subspan(PUBLIC_ADDRESS, PUBLIC_ADDRESS_SIZE), &addressTerminated);
  auto vendor = fieldText(all.subspan(CPU_VENDOR, CPU_VENDOR_SIZE), &vendorTerminated);
  // Unlisted bytes must be zero, and each text field must end inside its room.
  const bool layoutOk = bytes.size() == r.size() && getU32(r, RESERVED_ZERO) == 0 &&
                        allZero(all.subspan(CPU_VENDOR + CPU_VENDOR_SIZE,
                                            FIXED_BYTE_100 - CPU_VENDOR - CPU_VENDOR_SIZE)) &&
                        r[FIXED_BYTE_100] == 2 && allZero(all.subspan(FIXED_BYTE_100 + 1, 2)) &&
                        r[FIXED_BYTE_103] == 0 && allZero(all.subspan(FIXED_BYTE_103 + 1)) &&
                        addressTerminated && vendorTerminated;
  std::string hex;
  for (uint8_t b : r) {
    char two[3];
    std::snprintf(two, sizeof two, "%02x", b);
    hex += two;
  }
  std::string json = "{\"event\":\"report\",\"client\":" + std::to_string(client) + ",\"peer\":" +
                     jsonString({reinterpret_cast<const uint8_t*>(peer.data()), peer.size()});
  json += ",\"packageCount\":" + std::to_string(getU32(r, PACKAGE_COUNT));
  json += ",\"logicalProcessors\":" + std::to_string(getU32(r, LOGICAL_PROCESSORS));
  json += ",\"cpuMhz\":" + std::to_string(getU32(r, CPU_MHZ));
  json += ",\"memoryMb\":" + std::to_string(getU32(r, MEMORY_MB));
  json += ",\"publicAddress\":" + jsonString(address);
  json += ",\"cpuVendor\":" + jsonString(vendor);
  json += ",\"byte100\":" + std::to_string(r[FIXED_BYTE_100]);
  json += ",\"byte103\":" + std::to_string(r[FIXED_BYTE_103]);
  json += std::string(",\"layoutOk\":") + (layoutOk ? "true" : "false");
  json += ",\"hex\":\"" + hex + "\"}";
  return json;
}

}  // namespace devserver
