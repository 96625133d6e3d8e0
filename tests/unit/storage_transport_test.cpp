// The transport's parsers of received header lines and Content-Range.
#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "storage_client/aos_content_range.h"
#include "storage_client/aos_transport.h"

namespace {

TEST(StorageHeaderLine, SplitsNameAndValue) {
  const struct {
    std::string line;
    bool ok;
    std::string name, value;
  } cases[] = {
      {"Content-Length:   1234  \r\n", true, "Content-Length", "1234"},
      {"X-Note : a\r\n", true, "X-Note ", "a"},  // the name keeps its own spaces
      {"  \t Lead:\t v  w \t\r\n", true, "Lead", "v  w"},
      {"Empty:   \t \r\n", true, "Empty", ""},
      {":nameless\r\n", true, "", "nameless"},
      {"a:b:c\r\n", true, "a", "b:c"},
      {"\xff\xfeN:\xe9\r\n", true, "\xff\xfeN", "\xe9"},  // bytes above 0x7F are no blanks
      {std::string("A\0B: v\r\n", 8), true, std::string("A\0B", 3), "v"},
      {"HTTP/1.1 200 OK\r\n", false, "", ""},
      {"\r\n", false, "", ""},
  };
  for (const auto& k : cases) {
    aos_header_field f{};
    bool ok = aos_parse_header_line(k.line.data(), k.line.size(), &f);
    EXPECT_EQ(ok, k.ok) << k.line;
    if (!ok) continue;
    EXPECT_EQ(std::string(f.name, f.name_len), k.name) << k.line;
    EXPECT_EQ(std::string(f.value, f.value_len), k.value) << k.line;
  }
}

TEST(StorageContentRange, ParsesTheThreeFormsAndRefusesTheRest) {
  const struct {
    const char* text;
    bool ok;
    int64_t first, last, size;
  } cases[] = {
      {"bytes 0-99/100", true, 0, 99, 100},
      {" bytes 5-5/6\t", true, 5, 5, 6},
      {"bytes 100-199/*", true, 100, 199, -1},
      {"bytes */4096", true, -1, -1, 4096},
      {"bytes 0-9223372036854775806/9223372036854775807", true, 0, INT64_MAX - 1, INT64_MAX},
      {"bytes 0-1/9223372036854775808", false, 0, 0, 0},
      {"bytes 5-4/10", false, 0, 0, 0},
      {"bytes 0-10/10", false, 0, 0, 0},
      {"bytes */*", false, 0, 0, 0},
      {"bytes 1-5/10x", false, 0, 0, 0},
      {"bytes=1-5/10", false, 0, 0, 0},
      {"", false, 0, 0, 0},
  };
  for (const auto& k : cases) {
    aos_content_range r{7, 7, 7};
    EXPECT_EQ(aos_parse_content_range(k.text, std::strlen(k.text), &r), k.ok) << k.text;
    if (!k.ok) continue;
    EXPECT_EQ(r.first, k.first) << k.text;
    EXPECT_EQ(r.last, k.last) << k.text;
    EXPECT_EQ(r.size, k.size) << k.text;
  }
}

}  // namespace
