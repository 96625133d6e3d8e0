#include "updater/app_icon.h"

#include <algorithm>
#include <cmath>
#include <cstdint>

namespace {

constexpr uint32_t kTeal = 0x1F7A8C;
constexpr uint32_t kWhite = 0xFFFFFF;
constexpr uint32_t kYellow = 0xE1B12C;

double segmentDistance(double px, double py, double ax, double ay, double bx, double by) {
  const double dx = bx - ax, dy = by - ay;
  const double t = std::clamp(((px - ax) * dx + (py - ay) * dy) / (dx * dx + dy * dy), 0.0, 1.0);
  return std::hypot(px - (ax + t * dx), py - (ay + t * dy));
}

bool insideRoundedSquare(double x, double y) {
  constexpr double r = 0.18;
  const double cx = std::clamp(x, r, 1 - r), cy = std::clamp(y, r, 1 - r);
  return x >= 0 && x <= 1 && y >= 0 && y <= 1 && std::hypot(x - cx, y - cy) <= r;
}

// The mark at a point of the unit square; {false, 0} outside it (transparent).
std::pair<bool, uint32_t> colourAt(double x, double y) {
  if (std::hypot(x - 0.86, y - 0.14) <= 0.09) return {true, kYellow};
  if (!insideRoundedSquare(x, y)) return {false, 0};
  constexpr double half = 0.075;  // half the stroke width of the K
  const bool stem = x >= 0.27 && x <= 0.27 + 2 * half && y >= 0.22 && y <= 0.78;
  const bool upper = segmentDistance(x, y, 0.40, 0.53, 0.70, 0.22) <= half;
  const bool lower = segmentDistance(x, y, 0.45, 0.46, 0.73, 0.78) <= half;
  return {true, stem || upper || lower ? kWhite : kTeal};
}

platform::IconImage drawIcon(int size) {
  // 4 x 4 samples a pixel: the edges blend instead of stepping at the small sizes.
  constexpr int kSamples = 4;
  platform::IconImage icon;
  icon.size = size;
  icon.argb.resize(static_cast<size_t>(size) * size);
  for (int py = 0; py < size; ++py) {
    for (int px = 0; px < size; ++px) {
      unsigned covered = 0, r = 0, g = 0, b = 0;
      for (int sy = 0; sy < kSamples; ++sy) {
        for (int sx = 0; sx < kSamples; ++sx) {
          const double x = (px + (sx + 0.5) / kSamples) / size;
          const double y = (py + (sy + 0.5) / kSamples) / size;
          const auto [inside, colour] = colourAt(x, y);
          if (!inside) continue;
          ++covered;
          r += colour >> 16 & 0xFF;
          g += colour >> 8 & 0xFF;
          b += colour & 0xFF;
        }
      }
      uint32_t pixel = 0;
      if (covered) {
        const uint32_t alpha = covered * 255 / (kSamples * kSamples);
        pixel = alpha << 24 | (r / covered) << 16 | (g / covered) << 8 | (b / covered);
      }
      icon.argb[static_cast<size_t>(py) * size + px] = pixel;
    }
  }
  return icon;
}

}  // namespace

std::vector<platform::IconImage> kelvoraIconImages() {
  std::vector<platform::IconImage> icons;
  for (int size : {16, 24, 32, 48, 64}) icons.push_back(drawIcon(size));
  return icons;
}
