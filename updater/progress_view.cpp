#include "updater/progress_view.h"

#include "updater/app_state.h"

namespace progress_view {

int advanceProgress(int percentage, int32_t updateState, float downloadedByteCount,
                    float expectedPackageSize) {
  if (updateState != UPDATE_PENDING && updateState != UPDATE_DONE) return percentage;
  if (percentage < 99) ++percentage;
  // Full only once installed: equal counts alone also happen when a fetch of an announced size 0
  // fails. Unordered values (NaN) compare unequal, so they never count as finished.
  if (updateState == UPDATE_DONE && downloadedByteCount == expectedPackageSize) percentage = 100;
  return percentage;
}

}  // namespace progress_view
