// The shared layouts against the bytes docs/FORMATS.md prints, and the size rounding.
#include <gtest/gtest.h>

#include "protocol/messages.h"

namespace {

TEST(ProtocolMessages, VersionAnswerIsTheDocumentedEighteenBytes) {
  const std::array<uint8_t, 18> documented = {0x01, 0x20, 3, 0, 0, 0,    0x0B, 0, 0,
                                              0,    0,    0, 0, 0, 0xE8, 0x03, 0, 0};
  protocol::VersionAnswer answer{{3, 11, 0}, 1000};
  EXPECT_EQ(protocol::versionAnswerMessage(answer), documented);
  EXPECT_EQ(protocol::decodeVersionBody(std::span(documented).subspan<2>()), answer);
}

TEST(ProtocolMessages, SizeIsThousandthsOfAMiBRoundedUp) {
  const struct {
    uint64_t bytes;
    uint32_t size;
  } cases[] = {{0, 0},
               {1, 1},
               {1048576, 1000},
               {1048577, 1001},
               {73811821, 70393},
               {1048, 1},
               {1049, 2},
               {4503599627370496ull, 4294967295u},
               {UINT64_MAX, 4294967295u}};
  for (const auto& c : cases)
    EXPECT_EQ(protocol::sizeInThousandthsOfMiB(c.bytes), c.size) << c.bytes;
}

}  // namespace
