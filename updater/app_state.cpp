#include "updater/app_state.h"

namespace app_state {

AppState& appState() {
  static AppState state;
  return state;
}

}  // namespace app_state
