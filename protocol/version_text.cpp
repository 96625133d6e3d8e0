#include "protocol/version_text.h"

#include <limits>

namespace protocol {

namespace {

// One canonical decimal part at the front of *text, consumed; nullopt when there is none.
std::optional<uint32_t> takePart(std::string_view* text) {
  size_t n = 0;
  uint64_t value = 0;
  while (n < text->size() && (*text)[n] >= '0' && (*text)[n] <= '9') {
    value = value * 10 + uint64_t((*text)[n] - '0');
    if (value > std::numeric_limits<uint32_t>::max()) return std::nullopt;
    ++n;
  }
  if (n == 0 || (n > 1 && (*text)[0] == '0')) return std::nullopt;
  text->remove_prefix(n);
  return uint32_t(value);
}

}  // namespace

std::optional<Version> parseCanonicalVersion(std::string_view text) {
  uint32_t parts[3];
  for (int i = 0; i < 3; ++i) {
    if (i > 0) {
      if (text.empty() || text.front() != '.') return std::nullopt;
      text.remove_prefix(1);
    }
    auto part = takePart(&text);
    if (!part) return std::nullopt;
    parts[i] = *part;
  }
  if (!text.empty()) return std::nullopt;
  return Version{parts[0], parts[1], parts[2]};
}

std::string versionText(const Version& v) {
  return std::to_string(v.major) + "." + std::to_string(v.minor) + "." + std::to_string(v.build);
}

}  // namespace protocol
