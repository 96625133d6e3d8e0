#include "tools/kelvora-devserver/error_body.h"

#include <atomic>
#include <chrono>
#include <cstdio>
#include <random>

namespace devserver {

std::string newRequestId() {
  // Start-up time and a counter: unique within the run, and runs rarely share a prefix.
  static const uint32_t stamp = static_cast<uint32_t>(
      std::chrono::system_clock::now().time_since_epoch().count() ^ std::random_device{}());
  static std::atomic<uint64_t> counter{0};
  char id[32];
  std::snprintf(id, sizeof id, "%08X%016llX", stamp,
                static_cast<unsigned long long>(counter.fetch_add(1) + 1));
  return id;
}

std::string xmlEscape(std::string_view text) {
  std::string out;
  out.reserve(text.size());
  for (char c : text) {
    switch (c) {
      case '<':
        out += "&lt;";
        break;
      case '>':
        out += "&gt;";
        break;
      case '&':
        out += "&amp;";
        break;
      case '"':
        out += "&quot;";
        break;
      case '\'':
        out += "&apos;";
        break;
      default:
        // Control bytes other than tab and line feed cannot stand in XML 1.0.
        if (static_cast<unsigned char>(c) < 0x20 && c != '\t' && c != '\n') {
          char ref[8];
          std::snprintf(ref, sizeof ref, "\\x%02X", static_cast<unsigned char>(c));
          out += ref;
        } else {
          out += c;
        }
    }
  }
  return out;
}

std::string errorBody(std::string_view code, std::string_view message, std::string_view requestId,
                      std::string_view hostId,
                      const std::vector<std::pair<std::string, std::string>>& extra) {
  std::string xml = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<Error>\n";
  auto element = [&](std::string_view name, std::string_view value) {
    xml += "  <";
    xml += name;
    xml += ">";
    xml += xmlEscape(value);
    xml += "</";
    xml += name;
    xml += ">\n";
  };
  element("Code", code);
  element("Message", message);
  element("RequestId", requestId);
  element("HostId", hostId);
  for (const auto& [name, value] : extra) element(name, value);
  xml += "</Error>\n";
  return xml;
}

}  // namespace devserver
