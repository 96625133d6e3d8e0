// Code page conversion. The 8-bit code page of this layer is GBK (code page 936): ASCII passes
// unchanged and the Chinese texts keep the bytes the program stores them in.
#pragma once

#include <string>
#include <string_view>

namespace platform {

// GBK bytes to UTF-8. Bytes that do not decode become U+FFFD, so the result is always valid UTF-8.
std::string gbkToUtf8(std::string_view gbk);

// UTF-8 to GBK. Characters GBK cannot hold, and invalid UTF-8, become '?'.
std::string utf8ToGbk(std::string_view utf8);

// UTF-8 to UTF-16 code units (characters beyond the BMP become surrogate pairs).
std::u16string utf8ToUtf16(std::string_view utf8);

}  // namespace platform
