#include "graphics/drawing.h"

#include <algorithm>
#include <cstdlib>
#include <vector>

namespace gfx {

namespace {

// Dash runs of the styled one-pixel pens, on first.
std::vector<uint8_t> dashes_for_style(int style, uint16_t pattern) {
  switch (style) {
    case kPenDash:
      return {18, 6};
    case kPenDot:
      return {3, 3};
    case kPenDashDot:
      return {9, 6, 3, 6};
    case kPenDashDotDot:
      return {9, 3, 3, 3, 3, 3};
    case kPenUserPattern: {
      // Lengths of the runs of equal bits from bit 0; the run still open after bit 15 is
      // not counted, so a pattern of one bit value throughout is a solid pen.
      std::vector<uint8_t> runs;
      int length = 1;
      for (int bit = 1; bit < 16; ++bit) {
        if ((pattern >> bit & 1) == (pattern >> (bit - 1) & 1)) {
          ++length;
        } else {
          runs.push_back(static_cast<uint8_t>(length));
          length = 1;
        }
      }
      return runs;
    }
    default:
      return {};
  }
}

void make_pen(IMAGE& img) {
  img.pen_style = img.line_style;
  img.pen_width = img.line_thickness;
  img.pen_color = img.line_color;
  // A wide pen of the cosmetic dash styles draws solid, as the window system's does; only the
  // user pattern stays patterned at any width.
  const bool cosmetic_dash = img.line_style >= kPenDash && img.line_style <= kPenDashDotDot;
  if (cosmetic_dash && img.line_thickness > 1) {
    img.pen_dashes.clear();
  } else {
    img.pen_dashes = dashes_for_style(img.line_style, img.line_pattern);
  }
}

void put_clipped(IMAGE& img, int x, int y, uint32_t color) {
  if (x < img.clip_left || x >= img.clip_right || y < img.clip_top || y >= img.clip_bottom) return;
  if (x < 0 || y < 0 || x >= img.width() || y >= img.height()) return;
  img.pixels()[static_cast<size_t>(y) * img.width() + x] = color;
}

}  // namespace

int hatch_for_fill_style(int style) {
  static constexpr int kHatch[10] = {1, 3, 3, 2, 2, 4, 5, 1, 5, 5};
  return style >= 2 && style <= 11 ? kHatch[style - 2] : -1;
}

void set_line_color(uint32_t color, PIMAGE img) {
  IMAGE* i = resolve_image(img, true);
  if (!i) return;
  i->line_color = color;
  i->text_color = color;
  make_pen(*i);
}

void set_fill_color(uint32_t color, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (!i) return;
  i->fill_color = color;
  i->brush_color = color;
  i->brush_hatch = -1;
}

void set_fill_style(int style, uint32_t color, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (!i) return;
  i->fill_color = color;
  i->brush_color = color;
  i->brush_hatch = hatch_for_fill_style(style);
}

void set_line_style(int style, uint16_t pattern, int thickness, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (!i) return;
  i->line_style = style;
  i->line_pattern = pattern;
  i->line_thickness = thickness;
  i->line_thickness_copy = thickness;
  make_pen(*i);
}

void set_bk_color(uint32_t color, PIMAGE img) {
  IMAGE* i = resolve_image(img, true);
  if (!i) return;
  const uint32_t old = i->bk_color;
  i->bk_color = color;
  std::replace(i->pixels(), i->pixels() + static_cast<size_t>(i->width()) * i->height(), old,
               color);
}

void set_bk_color_only(uint32_t color, PIMAGE img) {
  IMAGE* i = resolve_image(img, true);
  if (i) i->bk_color = color;
}

void set_bk_mode(int mode, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (i) i->bk_mode = mode;
}

void set_text_align(int horizontal, int vertical, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (!i) return;
  i->text_halign = horizontal;
  i->text_valign = vertical;
}

void set_smoothing(uint8_t value, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (i) i->smoothing = value;
}

void draw_line(int x1, int y1, int x2, int y2, PIMAGE img) {
  IMAGE* i = resolve_image(img, true);
  if (!i || i->pen_style == kPenNull) return;
  const int w = std::max(i->pen_width, 1);
  const int half = w / 2;
  const std::vector<uint8_t>& dashes = i->pen_dashes;
  size_t run = 0;
  int left_in_run = dashes.empty() ? 0 : dashes[0];
  bool on = true;
  // Bresenham from the start point, stopping before the end point.
  const int dx = std::abs(x2 - x1), dy = -std::abs(y2 - y1);
  const int sx = x1 < x2 ? 1 : -1, sy = y1 < y2 ? 1 : -1;
  int err = dx + dy;
  int x = x1, y = y1;
  while (x != x2 || y != y2) {
    if (on) {
      for (int py = 0; py < w; ++py)
        for (int px = 0; px < w; ++px)
          put_clipped(*i, x + i->origin_x + px - half, y + i->origin_y + py - half, i->pen_color);
    }
    if (!dashes.empty() && --left_in_run <= 0) {
      run = (run + 1) % dashes.size();
      left_in_run = dashes[run];
      on = !on;
    }
    const int e2 = 2 * err;
    if (e2 >= dy) {
      err += dy;
      x += sx;
    }
    if (e2 <= dx) {
      err += dx;
      y += sy;
    }
  }
}

void fill_box(int left, int top, int right, int bottom, PIMAGE img) {
  IMAGE* i = resolve_image(img, true);
  if (!i) return;
  const int l = std::max({left + i->origin_x, i->clip_left, 0});
  const int t = std::max({top + i->origin_y, i->clip_top, 0});
  const int r = std::min({right + i->origin_x, i->clip_right, i->width()});
  const int b = std::min({bottom + i->origin_y, i->clip_bottom, i->height()});
  const bool opaque = i->bk_mode == kOpaque;
  for (int y = t; y < b; ++y) {
    uint32_t* row = i->pixels() + static_cast<size_t>(y) * i->width();
    for (int x = l; x < r; ++x) {
      // Hatches are laid on a grid of 8 pixels from the image's corner.
      const int hx = x & 7, hy = y & 7;
      bool line;
      switch (i->brush_hatch) {
        case -1:
          line = true;
          break;
        case kHatchHorizontal:
          line = hy == 0;
          break;
        case kHatchVertical:
          line = hx == 0;
          break;
        case kHatchForwardDiagonal:
          line = hx == hy;
          break;
        case kHatchBackwardDiagonal:
          line = hx + hy == 7;
          break;
        case kHatchCross:
          line = hx == 0 || hy == 0;
          break;
        default:
          line = hx == hy || hx + hy == 7;
          break;
      }
      if (line) {
        row[x] = i->brush_color;
      } else if (opaque) {
        row[x] = i->bk_color;
      }
    }
  }
}

void clear_page(PIMAGE img) {
  IMAGE* i = resolve_image(img, true);
  if (i) i->clear();
}

void set_view_rect(int left, int top, int right, int bottom, int clip, PIMAGE img) {
  IMAGE* i = resolve_image(img, true);
  if (!i) return;
  i->vp_left = std::max(left, 0);
  i->vp_top = std::max(top, 0);
  i->vp_right = std::min(right, i->width());
  i->vp_bottom = std::min(bottom, i->height());
  i->clip = clip;
  if (clip) {
    i->clip_left = i->vp_left;
    i->clip_top = i->vp_top;
    i->clip_right = i->vp_right;
    i->clip_bottom = i->vp_bottom;
  } else {
    i->clip_left = i->clip_top = 0;
    i->clip_right = i->width();
    i->clip_bottom = i->height();
  }
  i->origin_x = i->vp_left;
  i->origin_y = i->vp_top;
}

uint32_t get_pixel(int x, int y, PIMAGE img) {
  IMAGE* i = resolve_image(img, false);
  if (!i) return 0;
  x += i->vp_left;
  y += i->vp_top;
  if (x < 0 || y < 0 || x >= i->width() || y >= i->height()) return 0;
  return i->pixels()[static_cast<size_t>(y) * i->width() + x];
}

}  // namespace gfx
