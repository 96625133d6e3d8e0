// The messages of the port 9910 conversation (docs/FORMATS.md, section 2): every message is a
// u16 type and a body whose layout the type fixes, with no length field. The types and the
// offsets of the bodies the client and server both build or read are named here only.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

#include "protocol/client_report.h"
#include "protocol/version_text.h"

namespace protocol {

constexpr uint16_t UPDATE_SERVER_PORT = 9910;

constexpr uint16_t MSG_HELLO = 0x2000;
constexpr uint16_t MSG_KEEPALIVE = 0x1004;
constexpr uint16_t MSG_VERSION = 0x2001;
constexpr uint16_t MSG_FILE_BEGIN = 0x1016;
constexpr uint16_t MSG_FILE_DATA = 0x1017;
constexpr uint16_t MSG_FILE_END = 0x1018;
constexpr uint16_t MSG_DISCONNECT = 0x2010;

constexpr size_t MESSAGE_TYPE_SIZE = 2;
constexpr size_t HELLO_SIZE = MESSAGE_TYPE_SIZE + client_report::REPORT_SIZE;
static_assert(HELLO_SIZE == 166);
// MSG_VERSION body offsets.
constexpr size_t VERSION_MAJOR = 0;
constexpr size_t VERSION_MINOR = 4;
constexpr size_t VERSION_BUILD = 8;
constexpr size_t VERSION_SIZE = 12;
constexpr size_t VERSION_BODY_SIZE = 16;
constexpr size_t VERSION_ANSWER_SIZE = MESSAGE_TYPE_SIZE + VERSION_BODY_SIZE;
static_assert(VERSION_ANSWER_SIZE == 18);

uint16_t messageType(std::span<const uint8_t, MESSAGE_TYPE_SIZE> bytes);

std::array<uint8_t, HELLO_SIZE> helloMessage(const client_report::Report& report);
std::array<uint8_t, MESSAGE_TYPE_SIZE> keepAliveMessage();

// A version and the package's size in thousandths of a MiB.
struct VersionAnswer {
  Version version;
  uint32_t size = 0;
  friend bool operator==(const VersionAnswer&, const VersionAnswer&) = default;
};
std::array<uint8_t, VERSION_ANSWER_SIZE> versionAnswerMessage(const VersionAnswer& answer);
VersionAnswer decodeVersionBody(std::span<const uint8_t, VERSION_BODY_SIZE> body);

// The size the answer announces for a package of n bytes: thousandths of a MiB, rounded up so
// that the client never expects fewer bytes than arrive; the u32's largest value past it.
uint32_t sizeInThousandthsOfMiB(uint64_t packageBytes);

}  // namespace protocol
