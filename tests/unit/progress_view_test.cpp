#include "updater/progress_view.h"

#include <gtest/gtest.h>

#include <cmath>

#include "updater/app_state.h"

namespace {

using progress_view::advanceProgress;

TEST(ProgressAdvance, WaitingAndNothingToUpdateKeepTheBarEmpty) {
  for (int32_t state : {UPDATE_WAITING, UPDATE_NONE}) {
    int percentage = 0;
    for (int frame = 0; frame < 200; ++frame) percentage = advanceProgress(percentage, state, 5, 5);
    EXPECT_EQ(percentage, 0) << "state " << state;
  }
}

TEST(ProgressAdvance, FoundUpdateHoldsAt99UntilTheCountsMeet) {
  int percentage = 0;
  for (int frame = 0; frame < 150; ++frame) {
    percentage = advanceProgress(percentage, UPDATE_PENDING, 10.0f, 1000.0f);
    ASSERT_EQ(percentage, std::min(frame + 1, 99));
  }
  EXPECT_EQ(advanceProgress(percentage, UPDATE_DONE, 1000.0f, 1000.0f), 100);
}

TEST(ProgressAdvance, EqualCountsShowFullAtOnceWhateverThePercentage) {
  EXPECT_EQ(advanceProgress(3, UPDATE_DONE, 42.0f, 42.0f), 100);
  EXPECT_EQ(advanceProgress(100, UPDATE_DONE, 42.0f, 42.0f), 100);
  // A failed install stays at UPDATE_PENDING: the bar stops at 99, even where an announced size
  // of 0 and a failed fetch leave both counts 0.
  EXPECT_EQ(advanceProgress(99, UPDATE_PENDING, 41.0f, 42.0f), 99);
  EXPECT_EQ(advanceProgress(99, UPDATE_PENDING, 0.0f, 0.0f), 99);
}

TEST(ProgressAdvance, UnorderedCountsNeverCountAsFinished) {
  EXPECT_EQ(advanceProgress(50, UPDATE_DONE, NAN, NAN), 51);
  EXPECT_EQ(advanceProgress(50, UPDATE_DONE, 1.0f, NAN), 51);
}

}  // namespace
