#include "tools/kelvora-storage/terminal_text.h"

#include <cstdio>

namespace {

// The length of the valid UTF-8 sequence at s[i], or 0: no overlong forms, no surrogates,
// nothing past U+10FFFF.
size_t utf8Length(const std::string& s, size_t i) {
  auto byte = [&](size_t k) { return static_cast<unsigned char>(s[k]); };
  unsigned char b = byte(i);
  size_t n = b < 0x80                 ? 1
             : b >= 0xC2 && b <= 0xDF ? 2
             : b >= 0xE0 && b <= 0xEF ? 3
             : b >= 0xF0 && b <= 0xF4 ? 4
                                      : 0;
  if (n <= 1 || i + n > s.size()) return n == 1 ? 1 : 0;
  for (size_t k = 1; k < n; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  }
  unsigned char second = byte(i + 1);
  if (b == 0xE0 && second < 0xA0) return 0;   // overlong
  if (b == 0xED && second >= 0xA0) return 0;  // surrogate
  if (b == 0xF0 && second < 0x90) return 0;   // overlong
  if (b == 0xF4 && second >= 0x90) return 0;  // past U+10FFFF
  return n;
}

void appendEscape(std::string& out, const char* format, unsigned value) {
  char text[8];
  std::snprintf(text, sizeof text, format, value);
  out += text;
}

}  // namespace

std::string terminalSafe(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (size_t i = 0; i < text.size();) {
    const auto b = static_cast<unsigned char>(text[i]);
    const size_t n = utf8Length(text, i);
    if (n == 0) {
      appendEscape(out, "\\x%02x", b);
      ++i;
    } else if (n == 1 && (b < 0x20 || b == 0x7F)) {
      appendEscape(out, "\\x%02x", b);
      ++i;
    } else if (n == 1 && b == '\\') {
      out += "\\\\";
      ++i;
    } else if (n == 2 && b == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0) {
      appendEscape(out, "\\u%04x", static_cast<unsigned char>(text[i + 1]));
      i += 2;
    } else {
      out.append(text, i, n);
      i += n;
    }
  }
  return out;
}
