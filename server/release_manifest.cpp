#include "server/release_manifest.h"

#include <cmath>
#include <nlohmann/json.hpp>

namespace release_manifest {

namespace {

using nlohmann::json;

constexpr int kFormat = 1;

bool fail(std::string* error, const std::string& text) {
  if (error) *error = text;
  return false;
}

// Only the named keys may appear in an object.
bool onlyKeys(const json& object, std::initializer_list<std::string_view> keys,
              const std::string& where, std::string* error) {
  for (const auto& [key, value] : object.items()) {
    bool known = false;
    for (std::string_view k : keys) known = known || key == k;
    if (!known) return fail(error, where + key + ": unknown field");
  }
  return true;
}

std::optional<Release> parseRelease(const json& object, const std::string& name, bool rollout,
                                    std::string* error) {
  const std::string where = name + ".";
  if (!object.is_object()) return fail(error, name + ": not an object"), std::nullopt;
  if (rollout ? !onlyKeys(object, {"version", "package_bytes", "rollout_percent"}, where, error)
              : !onlyKeys(object, {"version", "package_bytes"}, where, error))
    return std::nullopt;
  Release release;
  auto version = object.find("version");
  std::optional<protocol::Version> parsed;
  if (version != object.end() && version->is_string())
    parsed = protocol::parseCanonicalVersion(version->get_ref<const std::string&>());
  if (!parsed) return fail(error, where + "version: not a canonical A.B.C version"), std::nullopt;
  release.version = *parsed;
  auto bytes = object.find("package_bytes");
  // A JSON integer that fits 64 bits comes as unsigned (or, when negative, signed); any other
  // number is a float and no count of bytes.
  if (bytes == object.end() || !bytes->is_number_unsigned() || bytes->get<uint64_t>() < 1)
    return fail(error, where + "package_bytes: not an integer of at least 1"), std::nullopt;
  release.packageBytes = bytes->get<uint64_t>();
  return release;
}

// rollout_percent as hundredths: a JSON number from 0 to 100 whose hundredfold is whole, up to
// the rounding of a double (0.29 × 100 is 28.999999999999996).
std::optional<uint32_t> rolloutHundredths(const json& value) {
  if (!value.is_number()) return std::nullopt;
  const double percent = value.get<double>();
  if (!(percent >= 0 && percent <= 100)) return std::nullopt;
  const double hundredths = std::round(percent * 100);
  if (std::fabs(percent * 100 - hundredths) > 1e-6) return std::nullopt;
  return uint32_t(hundredths);
}

std::string releaseJson(const Release& r) {
  return "{ \"version\": \"" + protocol::versionText(r.version) +
         "\", \"package_bytes\": " + std::to_string(r.packageBytes);
}

}  // namespace

std::optional<Manifest> parseManifest(std::string_view text, std::string* error) {
  if (text.size() > MANIFEST_MAX_BYTES)
    return fail(error, "manifest: larger than " + std::to_string(MANIFEST_MAX_BYTES) + " bytes"),
           std::nullopt;
  json root = json::parse(text.begin(), text.end(), nullptr, false);
  if (root.is_discarded()) return fail(error, "manifest: not JSON"), std::nullopt;
  if (!root.is_object()) return fail(error, "manifest: not a JSON object"), std::nullopt;
  if (!onlyKeys(root, {"format", "release", "fallback"}, "", error)) return std::nullopt;
  auto format = root.find("format");
  if (format == root.end() || !format->is_number_unsigned() || format->get<uint64_t>() != kFormat)
    return fail(error, "format: not 1"), std::nullopt;
  auto releaseField = root.find("release");
  if (releaseField == root.end()) return fail(error, "release: missing"), std::nullopt;
  Manifest manifest;
  auto release = parseRelease(*releaseField, "release", true, error);
  if (!release) return std::nullopt;
  manifest.release = *release;
  if (auto percent = releaseField->find("rollout_percent"); percent != releaseField->end()) {
    auto hundredths = rolloutHundredths(*percent);
    if (!hundredths)
      return fail(error,
                  "release.rollout_percent: not a number from 0 to 100 with at most two decimals"),
             std::nullopt;
    manifest.rolloutHundredths = *hundredths;
  }
  if (auto fallback = root.find("fallback"); fallback != root.end()) {
    manifest.fallback = parseRelease(*fallback, "fallback", false, error);
    if (!manifest.fallback) return std::nullopt;
  }
  return manifest;
}

std::string manifestJson(const Manifest& m) {
  std::string out = "{ \"format\": 1,\n  \"release\":  " + releaseJson(m.release) +
                    ", \"rollout_percent\": " + percentText(m.rolloutHundredths) + " }";
  if (m.fallback) out += ",\n  \"fallback\": " + releaseJson(*m.fallback) + " }";
  return out + " }\n";
}

std::string percentText(uint32_t hundredths) {
  std::string text = std::to_string(hundredths / 100);
  const uint32_t fraction = hundredths % 100;
  if (fraction == 0) return text;
  text += '.';
  text += char('0' + fraction / 10);
  if (fraction % 10 != 0) text += char('0' + fraction % 10);
  return text;
}

std::optional<uint32_t> parsePercent(std::string_view text) {
  size_t whole = 0;
  while (whole < text.size() && text[whole] >= '0' && text[whole] <= '9') ++whole;
  if (whole == 0 || whole > 3 || (whole > 1 && text[0] == '0')) return std::nullopt;
  uint32_t value = 0;
  for (size_t i = 0; i < whole; ++i) value = value * 10 + uint32_t(text[i] - '0');
  value *= 100;
  std::string_view rest = text.substr(whole);
  if (!rest.empty()) {
    if (rest.size() < 2 || rest.size() > 3 || rest[0] != '.') return std::nullopt;
    uint32_t scale = 10;
    for (char c : rest.substr(1)) {
      if (c < '0' || c > '9') return std::nullopt;
      value += uint32_t(c - '0') * scale;
      scale /= 10;
    }
  }
  if (value > FULL_ROLLOUT) return std::nullopt;
  return value;
}

}  // namespace release_manifest
