// The text side of signature and key files: outside bytes, so every read is bounded by the span
// and nothing here calls into a library.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "updater/release_signature.h"

namespace release_signature {

namespace {

constexpr std::string_view kUntrustedPrefix = "untrusted comment: ";
constexpr std::string_view kTrustedPrefix = "trusted comment: ";
constexpr size_t kSignatureLineBytes = 2 + 8 + 64;
constexpr size_t kPublicKeyBytes = 2 + 8 + 32;

int base64Value(char c) {
  if (c >= 'A' && c <= 'Z') return c - 'A';
  if (c >= 'a' && c <= 'z') return c - 'a' + 26;
  if (c >= '0' && c <= '9') return c - '0' + 52;
  if (c == '+') return 62;
  if (c == '/') return 63;
  return -1;
}

// Splits off the next line ending in '\n' or "\r\n" (or the rest of the text when none does).
std::string_view nextLine(std::string_view* rest) {
  size_t end = rest->find('\n');
  std::string_view line = rest->substr(0, end);
  rest->remove_prefix(end == std::string_view::npos ? rest->size() : end + 1);
  if (end != std::string_view::npos && line.ends_with('\r')) line.remove_suffix(1);
  return line;
}

// Canonical decimal (no sign, no leading zero but "0" itself) below 2^63.
std::optional<uint64_t> canonicalSize(std::string_view text) {
  if (text.empty() || text.size() > 19 || (text.size() > 1 && text[0] == '0')) return std::nullopt;
  uint64_t value = 0;
  for (char c : text) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + uint64_t(c - '0');
  }
  if (value > uint64_t(INT64_MAX)) return std::nullopt;
  return value;
}

}  // namespace

std::optional<std::vector<uint8_t>> decodeBase64(std::string_view text) {
  if (text.empty() || text.size() % 4 != 0) return std::nullopt;
  std::vector<uint8_t> out;
  out.reserve(text.size() / 4 * 3);
  for (size_t i = 0; i < text.size(); i += 4) {
    const bool last = i + 4 == text.size();
    const int pad = last ? (text[i + 3] == '=') + (text[i + 2] == '=') : 0;
    if (pad == 1 && text[i + 3] != '=') return std::nullopt;  // "x=y" is not padding
    uint32_t bits = 0;
    for (int k = 0; k < 4; ++k) {
      const int v = k >= 4 - pad ? 0 : base64Value(text[i + k]);
      if (v < 0) return std::nullopt;
      bits = bits << 6 | uint32_t(v);
    }
    // Bits below the data must be zero, so each byte string has exactly one encoding.
    if ((pad == 1 && (bits & 0xFF)) || (pad == 2 && (bits & 0xFFFF))) return std::nullopt;
    out.push_back(uint8_t(bits >> 16));
    if (pad < 2) out.push_back(uint8_t(bits >> 8));
    if (pad < 1) out.push_back(uint8_t(bits));
  }
  return out;
}

std::optional<PublicKey> parsePublicKey(std::string_view base64Line) {
  auto bytes = decodeBase64(base64Line);
  if (!bytes || bytes->size() != kPublicKeyBytes || (*bytes)[0] != 'E' || (*bytes)[1] != 'd')
    return std::nullopt;
  PublicKey key;
  std::memcpy(key.keyId.data(), bytes->data() + 2, key.keyId.size());
  std::memcpy(key.key.data(), bytes->data() + 10, key.key.size());
  return key;
}

std::optional<SignatureFile> parseSignatureFile(std::span<const uint8_t> file, std::string* error) {
  auto fail = [&](const std::string& what) -> std::optional<SignatureFile> {
    *error = what;
    return std::nullopt;
  };
  if (file.size() > MAX_SIGNATURE_FILE)
    return fail("over " + std::to_string(MAX_SIGNATURE_FILE) + " bytes");
  std::string_view rest(reinterpret_cast<const char*>(file.data()), file.size());
  if (!nextLine(&rest).starts_with(kUntrustedPrefix)) return fail("no untrusted comment line");
  auto signature = decodeBase64(nextLine(&rest));
  if (!signature || signature->size() != kSignatureLineBytes)
    return fail("the signature line is not base64 of 74 bytes");
  std::string_view trusted = nextLine(&rest);
  if (!trusted.starts_with(kTrustedPrefix)) return fail("no trusted comment line");
  auto global = decodeBase64(nextLine(&rest));
  if (!global || global->size() != 64) return fail("no global signature of 64 bytes");

  SignatureFile parsed;
  std::memcpy(parsed.algorithm.data(), signature->data(), 2);
  std::memcpy(parsed.keyId.data(), signature->data() + 2, 8);
  std::memcpy(parsed.signature.data(), signature->data() + 10, 64);
  parsed.trustedComment = std::string(trusted.substr(kTrustedPrefix.size()));
  std::memcpy(parsed.globalSignature.data(), global->data(), 64);
  return parsed;
}

std::optional<ReleaseComment> parseReleaseComment(std::string_view comment, std::string* error) {
  constexpr std::string_view kSpace = " \t";
  std::optional<protocol::Version> version;
  ReleaseComment parsed;
  for (size_t at = 0; (at = comment.find_first_not_of(kSpace, at)) != std::string_view::npos;) {
    const size_t end = std::min(comment.find_first_of(kSpace, at), comment.size());
    const std::string_view token = comment.substr(at, end - at);
    at = end;
    const size_t colon = token.find(':');
    const std::string_view name = token.substr(0, colon), value = token.substr(colon + 1);
    if (colon == std::string_view::npos) continue;
    if (name == "version") {
      auto v = protocol::parseCanonicalVersion(value);
      if (!v || version) {
        *error = v ? "more than one version: token" : "version: is not canonical A.B.C";
        return std::nullopt;
      }
      version = v;
    } else if (name == "package-size" || name == "program-size") {
      auto& slot = name == "package-size" ? parsed.packageSize : parsed.programSize;
      auto size = canonicalSize(value);
      if (!size || slot) {
        *error = std::string(name) + (size ? ": appears twice" : ": is not a decimal size");
        return std::nullopt;
      }
      slot = size;
    }
  }
  if (!version) {
    *error = "no version: token";
    return std::nullopt;
  }
  parsed.version = *version;
  return parsed;
}

std::string keyIdText(const KeyId& id) {
  char text[17];
  for (int i = 0; i < 8; ++i) std::snprintf(text + 2 * i, 3, "%02X", id[7 - i]);
  return std::string(text, 16);
}

std::string printable(std::string_view text) {
  std::string out;
  for (unsigned char c : text) {
    if (c < 0x20 || c == 0x7F) {
      char escaped[5];
      std::snprintf(escaped, sizeof escaped, "\\x%02X", c);
      out += escaped;
    } else {
      out += char(c);
    }
  }
  return out;
}

}  // namespace release_signature
