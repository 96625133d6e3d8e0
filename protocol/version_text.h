// The A.B.C version of the installed program, as the settings block, the version answer, the
// signed trusted comment and every tool's --version argument carry it.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace protocol {

struct Version {
  uint32_t major = 0, minor = 0, build = 0;
  friend bool operator==(const Version&, const Version&) = default;
};

// Three canonical decimal numbers separated by dots: no sign, no space, no leading zero (but
// "0" itself), each within the u32 the wire and the settings block carry. Anything else, such as
// "3.11.00" or "3.11.4294967296", is refused rather than normalised, so that a text always names
// the one version that the signed comment, the manifest and the client compare.
std::optional<Version> parseCanonicalVersion(std::string_view text);

// "A.B.C", the inverse of parseCanonicalVersion.
std::string versionText(const Version& v);

}  // namespace protocol
