// Loads arbitrary bytes as a picture into an image: the decoder must fail cleanly on anything
// that is not a whole JPEG, and a loaded image must hold exactly its decoded size.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "graphics/image.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  gfx::IMAGE img(2, 2);
  const int rc = img.getimage(data, size);
  if (rc == 0) {
    if (img.width() < 1 || img.height() < 1) std::abort();
    // Touch every pixel so a short buffer shows.
    uint32_t sum = 0;
    for (int i = 0; i < img.width() * img.height(); ++i) sum |= img.pixels()[i];
    if (sum >> 24) std::abort();
  } else if (rc != -12 || img.width() != 2 || img.height() != 2) {
    std::abort();
  }
  return 0;
}
