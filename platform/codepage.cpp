#include "platform/codepage.h"

#include <iconv.h>

#include <cerrno>

namespace platform {

namespace {

// Runs one whole conversion; on a byte sequence that does not convert, appends replacement
// and skips one input byte, so the result never stops short of the input's end.
std::string convert(const char* to, const char* from, std::string_view input,
                    std::string_view replacement) {
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
      ++in;
      --inLeft;
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
