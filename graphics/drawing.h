// Drawing state and the pixel operations on an image: colours, background, pens and brushes,
// lines, filled boxes, clearing and the viewport. Every operation takes the image last, with
// the null / page-number convention of image.h.
#pragma once

#include <cstdint>

#include "graphics/image.h"

namespace gfx {

// Pen styles as the window system numbers them; 7 draws the image's 16-bit pattern.
constexpr int kPenSolid = 0;
constexpr int kPenDash = 1;
constexpr int kPenDot = 2;
constexpr int kPenDashDot = 3;
constexpr int kPenDashDotDot = 4;
constexpr int kPenNull = 5;
constexpr int kPenInsideFrame = 6;
constexpr int kPenUserPattern = 7;

// Hatch kinds of a hatched brush.
constexpr int kHatchHorizontal = 0;
constexpr int kHatchVertical = 1;
constexpr int kHatchForwardDiagonal = 2;
constexpr int kHatchBackwardDiagonal = 3;
constexpr int kHatchCross = 4;
constexpr int kHatchDiagonalCross = 5;

// 0xRRGGBB to the window system's 0xBBGGRR, keeping the top byte.
constexpr uint32_t to_colorref(uint32_t c) {
  return (c >> 16 & 0xFF) | (c & 0xFF) << 16 | (c & 0xFF00FF00);
}

// The hatch kind a fill style selects, or -1 for a solid brush.
int hatch_for_fill_style(int style);

void set_line_color(uint32_t color, PIMAGE img = nullptr);
void set_fill_color(uint32_t color, PIMAGE img = nullptr);
void set_fill_style(int style, uint32_t color, PIMAGE img = nullptr);
void set_line_style(int style, uint16_t pattern, int thickness, PIMAGE img = nullptr);
// Also recolours every pixel that holds the previous background colour.
void set_bk_color(uint32_t color, PIMAGE img = nullptr);
void set_bk_color_only(uint32_t color, PIMAGE img = nullptr);
void set_bk_mode(int mode, PIMAGE img = nullptr);
void set_text_align(int horizontal, int vertical, PIMAGE img = nullptr);
void set_smoothing(uint8_t value, PIMAGE img = nullptr);

// The end point itself is not drawn.
void draw_line(int x1, int y1, int x2, int y2, PIMAGE img = nullptr);
// The right column and bottom row are not filled.
void fill_box(int left, int top, int right, int bottom, PIMAGE img = nullptr);
void clear_page(PIMAGE img = nullptr);
void set_view_rect(int left, int top, int right, int bottom, int clip, PIMAGE img = nullptr);
// Relative to the viewport's top-left corner; 0 outside the image.
uint32_t get_pixel(int x, int y, PIMAGE img = nullptr);

}  // namespace gfx
