#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace platform {

namespace {

// Length of the UTF-8 sequence at p (1 for a byte that starts none), so that one character
// GBK cannot hold becomes one replacement.
size_t utf8SequenceLength(const char* p, size_t left) {
  auto lead = static_cast<unsigned char>(p[0]);
  size_t length = lead >= 0xF0 && lead < 0xF5 ? 4 : lead >= 0xE0 ? 3 : lead >= 0xC2 ? 2 : 1;
  if (lead >= 0xF5 || length > left) return 1;
  for (size_t i = 1; i < length; ++i) {
    if ((static_cast<unsigned char>(p[i]) & 0xC0) != 0x80) return 1;
  }
  return length;
}

// Runs one whole conversion; on a sequence that does not convert, appends replacement and skips
// it, so the result never stops short of the input's end.
std::string convert(const char* to, const char* from, std::string_view input,
                    std::string_view replacement) {
  const bool fromUtf8 = std::string_view(from) == "UTF-8";
  std::string out;
  iconv_t cd = iconv_open(to, from);
  if (cd == reinterpret_cast<iconv_t>(-1)) return out;
  char* in = const_cast<char*>(input.data());
  size_t inLeft = input.size();
  char buffer[1024];
  while (inLeft > 0) {
    char* dst = buffer;
    size_t dstLeft = sizeof buffer;
    size_t rc = iconv(cd, &in, &inLeft, &dst, &dstLeft);
    out.append(buffer, static_cast<size_t>(dst - buffer));
    if (rc == static_cast<size_t>(-1)) {
      if (errno == E2BIG) continue;
      // EILSEQ or EINVAL (truncated sequence at the end): replace and resynchronise.
      out.append(replacement);
      size_t skip = fromUtf8 ? utf8SequenceLength(in, inLeft) : 1;
      in += skip;
      inLeft -= skip;
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
    }
  }
  char* dst = buffer;
  size_t dstLeft = sizeof buffer;
  iconv(cd, nullptr, nullptr, &dst, &dstLeft);
  out.append(buffer, static_cast<size_t>(dst - buffer));
  iconv_close(cd);
  return out;
}

}  // namespace

std::string gbkToUtf8(std::string_view gbk) {
  return convert("UTF-8", "GBK", gbk, "\xEF\xBF\xBD");
}

std::string utf8ToGbk(std::string_view utf8) {
  return convert("GBK", "UTF-8", utf8, "?");
}

std::u16string utf8ToUtf16(std::string_view utf8) {
  std::string bytes = convert("UTF-16LE", "UTF-8", utf8, std::string("\xFD\xFF", 2));
  std::u16string out(bytes.size() / 2, u'\0');
  for (size_t i = 0; i < out.size(); ++i) {
    out[i] = static_cast<char16_t>(static_cast<unsigned char>(bytes[2 * i]) |
                                   (static_cast<unsigned char>(bytes[2 * i + 1]) << 8));
  }
  return out;
}

}  // namespace platform
