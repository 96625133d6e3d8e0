#include "updater/startup.h"

// The steps are added as their units land; until then start-up ends after the settings step.
int runUpdater() {
  return 0;
}
