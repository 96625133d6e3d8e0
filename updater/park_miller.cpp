#include "updater/park_miller.h"

namespace park_miller {

int32_t parkMillerNext(int32_t x) {
  int32_t t = 16807 * (x % 127773) - 2836 * (x / 127773);
  if (t <= 0) t += 2147483647;
  return t;
}

}  // namespace park_miller
