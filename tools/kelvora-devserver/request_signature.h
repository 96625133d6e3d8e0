// The server's side of the version-1 header signature: the string to sign rebuilt from a request
// as it arrived, the Authorization check and the permitted clock skew.
#pragma once

#include <ctime>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devserver {

using NameValues = std::vector<std::pair<std::string, std::string>>;

struct ReceivedRequest {
  std::string method;
  NameValues headers;    // in arrival order, names as sent
  NameValues params;     // decoded query parameters
  std::string resource;  // "/bucket/object", decoded
};

struct KeyPair {
  std::string id;
  std::string secret;
};

constexpr long kMaxSkewSeconds = 15 * 60;

enum class AuthOutcome {
  kOk,
  kMissing,    // no Authorization header
  kMalformed,  // not "OSS id:signature"
  kNoDate,     // no usable date, or one that does not parse
  kUnknownId,  // an access key ID other than ours
  kSkewed,     // the date is more than kMaxSkewSeconds away from now
  kMismatch,   // the signature is not the one we compute
};

struct AuthResult {
  AuthOutcome outcome = AuthOutcome::kOk;
  std::string accessKeyId;  // as the request gave it
  std::string stringToSign;
  std::string dateText;  // the signed date value
};

// The first value of a header, names compared without regard to case.
std::optional<std::string> headerValue(const NameValues& headers, std::string_view name);

// The string to sign for a request; empty when the request has no usable date.
std::string stringToSign(const ReceivedRequest& request);

// An HTTP date ("Sun, 06 Dec 2026 01:24:04 GMT") as seconds since the epoch.
std::optional<time_t> parseHttpDate(std::string_view text);
std::string formatHttpDate(time_t when);

AuthResult checkSignature(const ReceivedRequest& request, const KeyPair& keys, time_t now);

}  // namespace devserver
