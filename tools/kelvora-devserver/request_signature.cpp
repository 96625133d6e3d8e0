#include "tools/kelvora-devserver/request_signature.h"

#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>

namespace devserver {
namespace {

// Base64 of the HMAC-SHA1 of `data` under `key`, by libcrypto: the server's check owes nothing
// to the client's own signing code.
std::string signatureOf(const std::string& key, const std::string& data) {
  unsigned char mac[EVP_MAX_MD_SIZE];
  unsigned int macLen = 0;
  if (HMAC(EVP_sha1(), key.data(), static_cast<int>(key.size()),
           reinterpret_cast<const unsigned char*>(data.data()), data.size(), mac,
           &macLen) == nullptr)
    return {};
  unsigned char text[4 * ((EVP_MAX_MD_SIZE + 2) / 3) + 1];
  int textLen = EVP_EncodeBlock(text, mac, static_cast<int>(macLen));
  return std::string(reinterpret_cast<const char*>(text), static_cast<size_t>(textLen));
}

// Query parameters that take part in the signature; every other parameter is left out.
constexpr std::array<std::string_view, 21> kSubResources = {
    "acl",
    "uploadId",
    "uploads",
    "partNumber",
    "response-content-type",
    "response-content-language",
    "response-expires",
    "response-cache-control",
    "response-content-disposition",
    "response-content-encoding",
    "append",
    "position",
    "lifecycle",
    "delete",
    "live",
    "status",
    "comp",
    "vod",
    "startTime",
    "endTime",
    "x-oss-process",
};

char lower(char c) {
  return static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
}
bool isDigit(char c) {
  return c >= '0' && c <= '9';
}

bool equalsNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i)
    if (lower(a[i]) != lower(b[i])) return false;
  return true;
}

// Case-insensitive natural order: runs of digits compare by their value, so x-oss-meta-2 sorts
// before x-oss-meta-10.
int naturalCompareNoCase(std::string_view a, std::string_view b) {
  size_t i = 0, j = 0;
  while (i < a.size() && j < b.size()) {
    if (isDigit(a[i]) && isDigit(b[j])) {
      size_t si = i, sj = j;
      while (si < a.size() && a[si] == '0') ++si;
      while (sj < b.size() && b[sj] == '0') ++sj;
      size_t ei = si, ej = sj;
      while (ei < a.size() && isDigit(a[ei])) ++ei;
      while (ej < b.size() && isDigit(b[ej])) ++ej;
      if (ei - si != ej - sj) return ei - si < ej - sj ? -1 : 1;
      int c = a.substr(si, ei - si).compare(b.substr(sj, ej - sj));
      if (c != 0) return c < 0 ? -1 : 1;
      i = ei;
      j = ej;
      continue;
    }
    char ca = lower(a[i]), cb = lower(b[j]);
    if (ca != cb) return ca < cb ? -1 : 1;
    ++i;
    ++j;
  }
  if (i == a.size() && j == b.size()) return 0;
  return i == a.size() ? -1 : 1;
}

std::string_view trimSpacesAndTabs(std::string_view v) {
  while (!v.empty() && (v.front() == ' ' || v.front() == '\t')) v.remove_prefix(1);
  while (!v.empty() && (v.back() == ' ' || v.back() == '\t')) v.remove_suffix(1);
  return v;
}

std::optional<std::string> signedDate(const NameValues& headers) {
  auto date = headerValue(headers, "x-oss-date");
  if (!date) date = headerValue(headers, "Date");
  if (!date || date->empty()) return std::nullopt;
  return date;
}

bool sameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  unsigned char diff = 0;
  for (size_t i = 0; i < a.size(); ++i) diff |= static_cast<unsigned char>(a[i] ^ b[i]);
  return diff == 0;
}

}  // namespace

std::optional<std::string> headerValue(const NameValues& headers, std::string_view name) {
  for (const auto& [n, v] : headers)
    if (equalsNoCase(n, name)) return v;
  return std::nullopt;
}

std::string stringToSign(const ReceivedRequest& request) {
  auto date = signedDate(request.headers);
  if (!date) return {};
  std::string s = request.method + "\n";
  s += headerValue(request.headers, "Content-MD5").value_or("") + "\n";
  s += headerValue(request.headers, "Content-Type").value_or("") + "\n";
  s += *date + "\n";

  std::vector<std::string> names;
  for (const auto& [name, value] : request.headers)
    if (name.size() >= 6 && equalsNoCase(std::string_view(name).substr(0, 6), "x-oss-")) {
      std::string lowered = name;
      std::transform(lowered.begin(), lowered.end(), lowered.begin(), lower);
      names.push_back(lowered);
    }
  std::stable_sort(names.begin(), names.end(), [](const std::string& a, const std::string& b) {
    return naturalCompareNoCase(a, b) < 0;
  });
  for (const auto& name : names)
    s += name + ":" + std::string(trimSpacesAndTabs(*headerValue(request.headers, name))) + "\n";

  s += request.resource;

  NameValues signedParams;
  for (const auto& param : request.params)
    if (std::find(kSubResources.begin(), kSubResources.end(), param.first) != kSubResources.end())
      signedParams.push_back(param);
  std::stable_sort(signedParams.begin(), signedParams.end(), [](const auto& a, const auto& b) {
    return naturalCompareNoCase(a.first, b.first) < 0;
  });
  char separator = '?';
  for (const auto& [name, value] : signedParams) {
    s += separator;
    s += name;
    if (!value.empty()) s += "=" + value;
    separator = '&';
  }
  return s;
}

std::optional<time_t> parseHttpDate(std::string_view text) {
  static constexpr std::array<std::string_view, 7> kDays = {"Sun", "Mon", "Tue", "Wed",
                                                            "Thu", "Fri", "Sat"};
  static constexpr std::array<std::string_view, 12> kMonths = {
      "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};
  // Fixed layout: "Www, DD Mmm YYYY HH:MM:SS GMT", 29 characters.
  if (text.size() != 29 || text.substr(3, 2) != ", " || text[7] != ' ' || text[11] != ' ' ||
      text[16] != ' ' || text[19] != ':' || text[22] != ':' || text.substr(25) != " GMT")
    return std::nullopt;
  if (std::find(kDays.begin(), kDays.end(), text.substr(0, 3)) == kDays.end()) return std::nullopt;
  auto month = std::find(kMonths.begin(), kMonths.end(), text.substr(8, 3));
  if (month == kMonths.end()) return std::nullopt;
  auto number = [&](size_t at, size_t width, int* out) {
    int v = 0;
    for (size_t i = at; i < at + width; ++i) {
      if (!isDigit(text[i])) return false;
      v = v * 10 + (text[i] - '0');
    }
    *out = v;
    return true;
  };
  int day, year, hour, minute, second;
  if (!number(5, 2, &day) || !number(12, 4, &year) || !number(17, 2, &hour) ||
      !number(20, 2, &minute) || !number(23, 2, &second))
    return std::nullopt;
  if (day < 1 || day > 31 || hour > 23 || minute > 59 || second > 60) return std::nullopt;
  std::tm tm{};
  tm.tm_year = year - 1900;
  tm.tm_mon = static_cast<int>(month - kMonths.begin());
  tm.tm_mday = day;
  tm.tm_hour = hour;
  tm.tm_min = minute;
  tm.tm_sec = second;
  return timegm(&tm);
}

std::string formatHttpDate(time_t when) {
  std::tm tm{};
  gmtime_r(&when, &tm);
  char text[64];
  std::strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &tm);
  return text;
}

AuthResult checkSignature(const ReceivedRequest& request, const KeyPair& keys, time_t now) {
  AuthResult result;
  auto authorization = headerValue(request.headers, "Authorization");
  if (!authorization) {
    result.outcome = AuthOutcome::kMissing;
    return result;
  }
  std::string_view auth = *authorization;
  size_t colon = auth.find(':');
  if (auth.substr(0, 4) != "OSS " || colon == std::string_view::npos || colon == 4) {
    result.outcome = AuthOutcome::kMalformed;
    return result;
  }
  result.accessKeyId = std::string(auth.substr(4, colon - 4));
  std::string_view signature = auth.substr(colon + 1);

  auto date = signedDate(request.headers);
  std::optional<time_t> when = date ? parseHttpDate(*date) : std::nullopt;
  if (!when) {
    result.outcome = AuthOutcome::kNoDate;
    return result;
  }
  result.dateText = *date;
  if (result.accessKeyId != keys.id) {
    result.outcome = AuthOutcome::kUnknownId;
    return result;
  }
  if (*when > now + kMaxSkewSeconds || *when < now - kMaxSkewSeconds) {
    result.outcome = AuthOutcome::kSkewed;
    return result;
  }
  result.stringToSign = stringToSign(request);
  const std::string expected = signatureOf(keys.secret, result.stringToSign);
  if (expected.empty() || !sameText(expected, signature)) result.outcome = AuthOutcome::kMismatch;
  return result;
}

}  // namespace devserver
