#include <gtest/gtest.h>

#include "protocol/client_report.h"
#include "updater/settings_block.h"

namespace {

using namespace settings_block;

TEST(SettingsBlock, FirstRunDefaultsOverParkMillerFiller) {
  // From state 1 the generator gives 16807, 282475249 (0x10D63AF1), 1622650073 (0x60B7ACD9):
  // their low bytes fill offsets 0, 1, 2 (offset 0 is then a default).
  int32_t state = 1;
  Block b = makeDefaultBlock(&state, 4);
  const std::pair<size_t, int> expected[] = {{0, 0},  {1, 0xF1}, {2, 0xD9},  {16, 1},
                                             {17, 1}, {18, 1},   {19, 1},    {20, 0},
                                             {48, 9}, {49, 0},   {52, 0x4E}, {53, 0x7F}};
  for (auto [offset, value] : expected) {
    EXPECT_EQ(b[offset], value) << "offset " << offset;
  }
  for (size_t i = 28; i < 48; ++i) EXPECT_EQ(b[i], 0) << "offset " << i;
  EXPECT_EQ(makeDefaultBlock(&state, 3)[16], 0) << "fewer than 4 logical processors";
}

TEST(ClientReport, PublicAddressIsNeverCut) {
  client_report::Report r{};
  for (const char* address : {"203.0.113.254", "255.255.255.255", "1234567890123456"}) {
    client_report::setPublicAddress(r, address);
    EXPECT_EQ(client_report::publicAddress(r),
              std::string(address).size() < 16 ? address : "0.0.0.0");
  }
  EXPECT_EQ(r[27], 0) << "no bytes of the longer text survive";
}

}  // namespace
