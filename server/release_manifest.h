// The release manifest the servers follow: which version the clients inside the rollout get,
// which the others get, and how large each package is. Format 1, JSON:
//
//   { "format": 1,
//     "release":  { "version": "3.11.0", "package_bytes": 73811821, "rollout_percent": 25 },
//     "fallback": { "version": "3.10.0", "package_bytes": 70913454 } }
//
// Anything outside this schema is refused with the field named, unknown fields included: a
// misspelt "rollout_percent" must not silently mean 100 %.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "protocol/version_text.h"

namespace release_manifest {

// A manifest is a few hundred bytes; anything far larger is not one.
constexpr size_t MANIFEST_MAX_BYTES = 64 * 1024;
constexpr uint32_t FULL_ROLLOUT = 10000;

struct Release {
  protocol::Version version;
  uint64_t packageBytes = 0;
  friend bool operator==(const Release&, const Release&) = default;
};

struct Manifest {
  Release release;
  uint32_t rolloutHundredths = FULL_ROLLOUT;  // rollout_percent × 100, 0..10000
  std::optional<Release> fallback;            // none: "0.0.0" with size 0 outside the rollout
  friend bool operator==(const Manifest&, const Manifest&) = default;
};

// nullopt with *error naming the field, e.g. "release.version: not a canonical A.B.C version".
std::optional<Manifest> parseManifest(std::string_view json, std::string* error);
// Format-1 JSON that parseManifest reads back to the same Manifest.
std::string manifestJson(const Manifest& m);

// Percentage text with at most two decimals ("25", "12.5", "0.01") and its parser (0..100):
// digits without a leading zero, optionally a point and one or two more digits.
std::string percentText(uint32_t hundredths);
std::optional<uint32_t> parsePercent(std::string_view text);

}  // namespace release_manifest
