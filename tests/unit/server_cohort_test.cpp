// Staged rollout over synthetic machines: the share that gets the release follows the
// percentage, a rise keeps everyone who had it, and the fallback answers the others.
#include <gtest/gtest.h>

#include <algorithm>

#include "server/release_board.h"
#include "support/kelvora_server_process.h"

namespace {

using namespace server;

std::vector<bool> releaseGoesTo(const release_manifest::Manifest& m, Metrics& metrics) {
  auto snapshot = makeSnapshot(m, metrics);
  std::vector<bool> got;
  for (uint32_t i = 0; i < 10000; ++i) {
    const client_report::Report r = testsupport::syntheticReport(i);
    const auto choice = snapshot->choose(client_report::machineFacts(r));
    EXPECT_LT(choice.cohort, COHORTS);
    EXPECT_EQ(*choice.bytes, choice.release ? snapshot->releaseAnswer : snapshot->fallbackAnswer);
    got.push_back(choice.release);
  }
  return got;
}

TEST(Cohorts, ShareFollowsThePercentageAndARiseKeepsEveryone) {
  Metrics metrics(1);
  release_manifest::Manifest m{{{3, 11, 0}, 73811821}, 2500, {{{3, 10, 0}, 70913454}}};
  const std::vector<bool> at25 = releaseGoesTo(m, metrics);
  EXPECT_GE(std::ranges::count(at25, true), 2300);
  EXPECT_LE(std::ranges::count(at25, true), 2700);
  m.rolloutHundredths = 5000;
  const std::vector<bool> at50 = releaseGoesTo(m, metrics);
  EXPECT_GE(std::ranges::count(at50, true), 4800);
  EXPECT_LE(std::ranges::count(at50, true), 5200);
  for (size_t i = 0; i < at25.size(); ++i) ASSERT_TRUE(!at25[i] || at50[i]) << "machine " << i;
  // The next release draws its cohorts anew: the first quarter is not the same machines again.
  m.release.version = {3, 12, 0};
  m.rolloutHundredths = 2500;
  EXPECT_NE(releaseGoesTo(m, metrics), at25);
}

}  // namespace
