#include "updater/progress_view.h"

#include "updater/app_state.h"

int advanceProgress(int percentage, int32_t updateState, float downloadedByteCount,
                    float expectedPackageSize) {
  if (updateState != UPDATE_PENDING && updateState != UPDATE_DONE) return percentage;
  if (percentage < 99) ++percentage;
  // Unordered values (NaN) compare unequal, so they never count as finished.
  if (downloadedByteCount == expectedPackageSize) percentage = 100;
  return percentage;
}
