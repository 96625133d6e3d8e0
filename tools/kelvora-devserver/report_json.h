// A received client report as one JSON line.
#pragma once

#include <cstdint>
#include <span>
#include <string>

namespace devserver {

// report is the 164 bytes that follow a hello; client numbers the connection, peer names it.
std::string reportJson(std::span<const uint8_t> report, uint64_t client, const std::string& peer);

}  // namespace devserver
