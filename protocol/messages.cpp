#include "protocol/messages.h"

#include <algorithm>
#include <limits>

namespace protocol {

namespace {

void putU16(std::span<uint8_t> out, size_t offset, uint16_t v) {
  out[offset] = uint8_t(v);
  out[offset + 1] = uint8_t(v >> 8);
}

void putU32(std::span<uint8_t> out, size_t offset, uint32_t v) {
  for (size_t i = 0; i < 4; ++i) out[offset + i] = uint8_t(v >> (8 * i));
}

uint32_t getU32(std::span<const uint8_t> in, size_t offset) {
  uint32_t v = 0;
  for (size_t i = 0; i < 4; ++i) v |= uint32_t(in[offset + i]) << (8 * i);
  return v;
}

}  // namespace

uint16_t messageType(std::span<const uint8_t, MESSAGE_TYPE_SIZE> bytes) {
  return uint16_t(bytes[0] | (bytes[1] << 8));
}

std::array<uint8_t, HELLO_SIZE> helloMessage(const client_report::Report& report) {
  std::array<uint8_t, HELLO_SIZE> hello{};
  putU16(hello, 0, MSG_HELLO);
  std::copy(report.begin(), report.end(), hello.begin() + MESSAGE_TYPE_SIZE);
  return hello;
}

std::array<uint8_t, MESSAGE_TYPE_SIZE> keepAliveMessage() {
  std::array<uint8_t, MESSAGE_TYPE_SIZE> keepAlive{};
  putU16(keepAlive, 0, MSG_KEEPALIVE);
  return keepAlive;
}

std::array<uint8_t, VERSION_ANSWER_SIZE> versionAnswerMessage(const VersionAnswer& answer) {
  std::array<uint8_t, VERSION_ANSWER_SIZE> out{};
  putU16(out, 0, MSG_VERSION);
  std::span<uint8_t> body = std::span(out).subspan(MESSAGE_TYPE_SIZE);
  putU32(body, VERSION_MAJOR, answer.version.major);
  putU32(body, VERSION_MINOR, answer.version.minor);
  putU32(body, VERSION_BUILD, answer.version.build);
  putU32(body, VERSION_SIZE, answer.size);
  return out;
}

VersionAnswer decodeVersionBody(std::span<const uint8_t, VERSION_BODY_SIZE> body) {
  return {{getU32(body, VERSION_MAJOR), getU32(body, VERSION_MINOR), getU32(body, VERSION_BUILD)},
          getU32(body, VERSION_SIZE)};
}

uint32_t sizeInThousandthsOfMiB(uint64_t packageBytes) {
  constexpr uint64_t kMiB = 1024 * 1024;
  // Split so that bytes × 1000 cannot overflow: whole MiB and the remainder apart.
  const uint64_t whole = packageBytes / kMiB, rest = packageBytes % kMiB;
  const uint64_t thousandths = (rest * 1000 + kMiB - 1) / kMiB;
  constexpr uint64_t kMax = std::numeric_limits<uint32_t>::max();
  if (whole > kMax / 1000) return uint32_t(kMax);
  return uint32_t(std::min(whole * 1000 + thousandths, kMax));
}

}  // namespace protocol
