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
  const std::pair<uint64_t, uint32_t> cases[] = {{0, 0},
                                                 {1048, 1},
                                                 {1049, 2},
                                                 {1048576, 1000},
                                                 {73811821, 70393},
                                                 {UINT64_MAX, 4294967295u},
                                                 {4503599627370496ull, 4294967295u}};
  for (const auto& [bytes, size] : cases)
    EXPECT_EQ(protocol::sizeInThousandthsOfMiB(bytes), size) << bytes;
}

}  // namespace
