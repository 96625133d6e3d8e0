#include <gtest/gtest.h>

#include "updater/client_report.h"
#include "updater/settings_block.h"

namespace {

using namespace settings_block;

TEST(SettingsBlock, FirstRunDefaultsSitAtTheirOffsets) {
  int32_t state = 12345;
  Block b = makeDefaultBlock(&state, 4);
  EXPECT_EQ(b[0], 0);
  EXPECT_EQ(b[16], 1);
  EXPECT_EQ(b[17], 1);
  EXPECT_EQ(b[18], 1);
  EXPECT_EQ(b[19], 1);
  EXPECT_EQ(b[20], 0);
  for (size_t i = 28; i < 48; ++i) EXPECT_EQ(b[i], 0) << "offset " << i;
  EXPECT_EQ(b[48], 9);
  EXPECT_EQ(b[49], 0);
  EXPECT_EQ(b[52], 0x4E);
  EXPECT_EQ(b[53], 0x7F);
  EXPECT_EQ(language(b), 9u);
  EXPECT_FALSE(isChinese(b));

  int32_t other = 12345;
  EXPECT_EQ(makeDefaultBlock(&other, 3)[16], 0) << "fewer than 4 logical processors";
}

TEST(SettingsBlock, FillerIsParkMillerLowBytesAndDiffersBetweenSeeds) {
  // From state 1 the generator gives 16807 (0x41A7), 282475249 (0x10D63AF1), 1622650073
  // (0x60B7ACD9): the low bytes A7, F1, D9 fill offsets 0.. (offset 0 is then a default).
  int32_t state = 1;
  Block b = makeDefaultBlock(&state, 1);
  EXPECT_EQ(b[1], 0xF1);
  EXPECT_EQ(b[2], 0xD9);
  int32_t a = 1000, c = 1001;
  Block first = makeDefaultBlock(&a, 1), second = makeDefaultBlock(&c, 1);
  int differing = 0;
  for (size_t i = 54; i < first.size(); ++i) differing += first[i] != second[i];
  EXPECT_GT(differing, 1900);
  EXPECT_NE(a, 1000) << "the state advances for the next use";
}

TEST(SettingsBlock, VersionIsStoredBuildMajorMinor) {
  Block b{};
  setVersion(b, {3, 10, 250});
  EXPECT_EQ(getU32(b, 28), 250u);
  EXPECT_EQ(getU32(b, 32), 3u);
  EXPECT_EQ(getU32(b, 36), 10u);
  Version v = version(b);
  EXPECT_EQ(v.major, 3u);
  EXPECT_EQ(v.minor, 10u);
  EXPECT_EQ(v.build, 250u);
  putU32(b, LANGUAGE, 2052);
  EXPECT_TRUE(isChinese(b));
  putU32(b, LANGUAGE, 2051);
  EXPECT_FALSE(isChinese(b));
}

TEST(ClientReport, PublicAddressIsNeverCut) {
  client_report::Report r{};
  client_report::setPublicAddress(r, "203.0.113.254");
  EXPECT_EQ(client_report::publicAddress(r), "203.0.113.254");
  client_report::setPublicAddress(r, "255.255.255.255");  // 15 characters fit
  EXPECT_EQ(client_report::publicAddress(r), "255.255.255.255");
  client_report::setPublicAddress(r, "1234567890123456");
  EXPECT_EQ(client_report::publicAddress(r), "0.0.0.0");
  EXPECT_EQ(r[27], 0) << "no bytes of the longer text survive";
}

}  // namespace
