// Picture decoding: JPEG data in memory to 0x00RRGGBB pixels, with libjpeg-turbo. Stands in for
// the system's picture loader; bad or hostile data gives an error, never an abort.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

namespace platform {

// Pictures larger than this in either direction, or in pixels, are refused before any pixel
// memory is taken.
constexpr int kMaxPictureSide = 16384;
constexpr int64_t kMaxPicturePixels = int64_t{64} << 20;

enum class PictureResult {
  ok,
  empty,      // no bytes
  corrupt,    // not a JPEG, or cut short, or damaged past decoding
  too_large,  // the header asks for more than the limits above
};

struct Picture {
  int width = 0;
  int height = 0;
  std::vector<uint32_t> pixels;  // rows top-down, width x height, top byte 0
};

PictureResult decodeJpeg(std::span<const uint8_t> bytes, Picture& out);

}  // namespace platform
