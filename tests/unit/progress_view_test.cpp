#include "updater/progress_view.h"

#include <gtest/gtest.h>

#include <cmath>

#include "updater/app_state.h"

namespace {

using progress_view::advanceProgress;

// One frame of the bar: it climbs while an update is found, holds at 99 until the counts meet,
// and shows 100 only when they do (never for counts that do not compare, nor a failed install).
TEST(ProgressAdvance, OneFrame) {
  struct Case {
    int percentage;
    int32_t state;
    float done, total;
    int expected;
  };
  for (const Case& c :
       {Case{0, app_state::UPDATE_WAITING, 5, 5, 0}, Case{0, app_state::UPDATE_NONE, 5, 5, 0},
        Case{0, app_state::UPDATE_PENDING, 10, 1000, 1},
        Case{98, app_state::UPDATE_PENDING, 10, 1000, 99},
        Case{99, app_state::UPDATE_PENDING, 10, 1000, 99},
        Case{99, app_state::UPDATE_PENDING, 0, 0, 99}, Case{3, app_state::UPDATE_DONE, 42, 42, 100},
        Case{50, app_state::UPDATE_DONE, 1, NAN, 51}}) {
    EXPECT_EQ(advanceProgress(c.percentage, c.state, c.done, c.total), c.expected)
        << c.percentage << " state " << c.state << " " << c.done << "/" << c.total;
  }
}

}  // namespace
