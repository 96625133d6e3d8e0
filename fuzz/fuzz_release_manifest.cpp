// The release manifest parser over any bytes: it never reads outside them, and what it takes,
// written again, reads back to the same manifest. The percentage text parser rides along.
#include <cstdlib>
#include <string>
#include <string_view>

#include "server/release_manifest.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::string_view text(reinterpret_cast<const char*>(data), size);
  std::string error;
  if (auto m = release_manifest::parseManifest(text, &error)) {
    auto again = release_manifest::parseManifest(release_manifest::manifestJson(*m), &error);
    if (!again || !(*again == *m)) std::abort();
  } else if (error.empty()) {
    std::abort();
  }
  if (auto percent = release_manifest::parsePercent(text))
    if (*percent > release_manifest::FULL_ROLLOUT ||
        release_manifest::parsePercent(release_manifest::percentText(*percent)) != percent)
      std::abort();
  return 0;
}
