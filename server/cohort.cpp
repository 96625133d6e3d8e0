#include "server/cohort.h"

#include <algorithm>

namespace server {

namespace {

void putU32(uint8_t*& out, uint32_t v) {
  for (int i = 0; i < 4; ++i) *out++ = uint8_t(v >> (8 * i));
}

}  // namespace

CohortKey cohortKeyFor(const protocol::Version& release) {
  const std::string text = protocol::versionText(release);
  CohortKey key{};
  crypto_generichash(key.data(), key.size(), reinterpret_cast<const uint8_t*>(text.data()),
                     text.size(), nullptr, 0);
  return key;
}

uint32_t cohortOf(const client_report::MachineFacts& facts, const CohortKey& key) {
  // Four u32 facts, then each text as a length byte and its characters.
  uint8_t bytes[16 + 1 + client_report::PUBLIC_ADDRESS_SIZE + 1 + client_report::CPU_VENDOR_SIZE];
  uint8_t* out = bytes;
  putU32(out, facts.packageCount);
  putU32(out, facts.logicalProcessors);
  putU32(out, facts.cpuMhz);
  putU32(out, facts.memoryMb);
  for (std::string_view text : {facts.publicAddress, facts.cpuVendor}) {
    *out++ = uint8_t(text.size());
    out = std::copy(text.begin(), text.end(), out);
  }
  uint8_t hash[crypto_shorthash_BYTES];
  crypto_shorthash(hash, bytes, uint64_t(out - bytes), key.data());
  uint64_t value = 0;
  for (int i = 0; i < 8; ++i) value |= uint64_t(hash[i]) << (8 * i);
  return uint32_t(value % COHORTS);
}

}  // namespace server
