#include "graphics/drawing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using gfx::IMAGE;

uint32_t at(const IMAGE& img, int x, int y) {
  return img.pixels()[y * img.width() + x];
}

// The row as a string: '#' where the pixel has the colour, '.' elsewhere.
std::string row(const IMAGE& img, int y, uint32_t color) {
  std::string s;
  for (int x = 0; x < img.width(); ++x) s += at(img, x, y) == color ? '#' : '.';
  return s;
}

int count(const IMAGE& img, uint32_t color) {
  int n = 0;
  for (int i = 0; i < img.width() * img.height(); ++i) n += img.pixels()[i] == color;
  return n;
}

TEST(DrawingColour, ColorrefSwapsOuterBytesOnly) {
  EXPECT_EQ(gfx::to_colorref(0x00A800), 0x00A800u);
  EXPECT_EQ(gfx::to_colorref(0x151515), 0x151515u);
  EXPECT_EQ(gfx::to_colorref(0xFCFCFC), 0xFCFCFCu);
  EXPECT_EQ(gfx::to_colorref(0xEBEBEC), 0xECEBEBu);
  EXPECT_EQ(gfx::to_colorref(0x7F123456), 0x7F563412u);
}

TEST(DrawingBackground, ReplacesExactlyOldBackgroundPixels) {
  IMAGE img(20, 10);
  gfx::set_fill_color(0x00FF00, &img);
  gfx::fill_box(0, 0, 5, 10, &img);
  img.pixels()[20 * 10] = 0;  // spare row: not part of the picture
  gfx::set_bk_color(0x0000FF, &img);
  EXPECT_EQ(count(img, 0x00FF00), 50);
  EXPECT_EQ(count(img, 0x0000FF), 150);
  EXPECT_EQ(img.pixels()[20 * 10], 0u);
  // Only-colour form leaves the pixels; a clear then uses the new colour.
  gfx::set_bk_color_only(0x111111, &img);
  EXPECT_EQ(count(img, 0x0000FF), 150);
  gfx::clear_page(&img);
  EXPECT_EQ(count(img, 0x111111), 200);
}

TEST(DrawingLine, EndPointExcluded) {
  IMAGE img(40, 3);
  gfx::set_line_color(0xFFFFFF, &img);
  gfx::draw_line(30, 1, 30, 1, &img);
  EXPECT_EQ(count(img, 0xFFFFFF), 0);
  gfx::draw_line(30, 1, 34, 1, &img);
  EXPECT_EQ(row(img, 1, 0xFFFFFF), std::string(30, '.') + "####" + std::string(6, '.'));
  // Backwards: starts at x1, stops before x2.
  gfx::draw_line(10, 0, 6, 0, &img);
  EXPECT_EQ(row(img, 0, 0xFFFFFF).substr(0, 12), ".......####.");
}

TEST(DrawingLine, DiagonalAndVertical) {
  IMAGE img(5, 5);
  gfx::set_line_color(0xFF, &img);
  gfx::draw_line(0, 0, 4, 4, &img);
  for (int k = 0; k < 4; ++k) EXPECT_EQ(at(img, k, k), 0xFFu);
  EXPECT_EQ(at(img, 4, 4), 0u);
  EXPECT_EQ(count(img, 0xFF), 4);
  IMAGE v(3, 6);
  gfx::set_line_color(0xFF, &v);
  gfx::draw_line(1, 5, 1, 1, &v);
  EXPECT_EQ(count(v, 0xFF), 4);
  EXPECT_EQ(at(v, 1, 1), 0u);
  EXPECT_EQ(at(v, 1, 5), 0xFFu);
}

TEST(DrawingLine, StylesAndThickness) {
  IMAGE img(40, 5);
  gfx::set_line_color(0xFF, &img);
  gfx::set_line_style(gfx::kPenDot, 0, 1, &img);
  gfx::draw_line(0, 0, 12, 0, &img);
  EXPECT_EQ(row(img, 0, 0xFF).substr(0, 13), "###...###....");
  // Pattern 0x00F0: runs of 4 clear then 4 set bits from bit 0; the final open run is dropped.
  gfx::set_line_style(gfx::kPenUserPattern, 0x00F0, 1, &img);
  gfx::draw_line(0, 1, 20, 1, &img);
  EXPECT_EQ(row(img, 1, 0xFF).substr(0, 20), "####....####....####");
  gfx::set_line_style(gfx::kPenNull, 0, 1, &img);
  gfx::draw_line(0, 2, 20, 2, &img);
  EXPECT_EQ(row(img, 2, 0xFF), std::string(40, '.'));
  IMAGE thick(10, 5);
  gfx::set_line_color(0xFF, &thick);
  gfx::set_line_style(gfx::kPenSolid, 0, 3, &thick);
  gfx::draw_line(2, 2, 6, 2, &thick);
  for (int y = 1; y <= 3; ++y) EXPECT_EQ(row(thick, y, 0xFF), ".######...") << y;
  EXPECT_EQ(thick.line_thickness_copy, 3);
  gfx::set_line_style(gfx::kPenDot, 0, 2, &thick);
  gfx::set_line_color(0xAA, &thick);
  gfx::draw_line(0, 0, 10, 0, &thick);
  EXPECT_EQ(row(thick, 0, 0xAA), "##########");  // wide dotted pens draw solid
}

TEST(DrawingFill, RightAndBottomEdgesExcluded) {
  IMAGE page(500, 200);
  gfx::set_fill_color(0x272727, &page);
  gfx::fill_box(0, 0, 500, 200, &page);
  EXPECT_EQ(count(page, 0x272727), 500 * 200);

  IMAGE img(10, 10);
  gfx::set_fill_color(0xABCDEF, &img);
  gfx::fill_box(2, 3, 5, 7, &img);
  EXPECT_EQ(count(img, 0xABCDEF), 3 * 4);
  EXPECT_EQ(at(img, 4, 6), 0xABCDEFu);
  EXPECT_EQ(at(img, 5, 6), 0u);
  EXPECT_EQ(at(img, 4, 7), 0u);
  gfx::fill_box(8, 8, 3, 3, &img);  // inverted: nothing
  gfx::fill_box(-5, -5, 1, 1, &img);
  EXPECT_EQ(count(img, 0xABCDEF), 13);
}

TEST(DrawingFill, HatchStylesAndBackgroundMode) {
  EXPECT_EQ(gfx::hatch_for_fill_style(1), -1);
  EXPECT_EQ(gfx::hatch_for_fill_style(2), gfx::kHatchVertical);
  EXPECT_EQ(gfx::hatch_for_fill_style(5), gfx::kHatchForwardDiagonal);
  EXPECT_EQ(gfx::hatch_for_fill_style(7), gfx::kHatchCross);
  EXPECT_EQ(gfx::hatch_for_fill_style(11), gfx::kHatchDiagonalCross);
  EXPECT_EQ(gfx::hatch_for_fill_style(12), -1);

  IMAGE img(16, 1);
  gfx::set_bk_color(0x0000AA, &img);
  gfx::set_fill_style(2, 0xFF0000, &img);  // vertical lines every 8 pixels
  gfx::fill_box(0, 0, 16, 1, &img);
  EXPECT_EQ(row(img, 0, 0xFF0000), "#.......#.......");
  EXPECT_EQ(count(img, 0x0000AA), 14);  // opaque: gaps painted in the background colour
  img.pixels()[1] = 0x123456;
  gfx::set_bk_mode(gfx::kTransparent, &img);
  gfx::fill_box(0, 0, 16, 1, &img);
  EXPECT_EQ(at(img, 1, 0), 0x123456u);
}

TEST(DrawingViewport, ClampOriginAndClip) {
  IMAGE img(500, 200);
  gfx::set_view_rect(-5, -5, 1000, 1000, 1, &img);
  EXPECT_EQ(img.vp_left, 0);
  EXPECT_EQ(img.vp_top, 0);
  EXPECT_EQ(img.vp_right, 500);
  EXPECT_EQ(img.vp_bottom, 200);

  IMAGE small(20, 20);
  gfx::set_view_rect(5, 5, 10, 10, 1, &small);
  gfx::set_fill_color(0xFF, &small);
  gfx::fill_box(-100, -100, 100, 100, &small);
  EXPECT_EQ(count(small, 0xFF), 25);
  EXPECT_EQ(at(small, 5, 5), 0xFFu);
  EXPECT_EQ(gfx::get_pixel(0, 0, &small), 0xFFu);  // relative to the viewport
  EXPECT_EQ(gfx::get_pixel(100, 0, &small), 0u);
  // Clipping off: the origin still moves but drawing reaches the whole image.
  gfx::set_view_rect(5, 5, 10, 10, 0, &small);
  gfx::set_line_color(0xEE, &small);
  gfx::draw_line(-5, 10, 20, 10, &small);
  EXPECT_EQ(row(small, 15, 0xEE), std::string(20, '#'));
  // Clearing ignores the viewport.
  gfx::clear_page(&small);
  EXPECT_EQ(count(small, 0), 400);
}

IMAGE* g_target = nullptr;
int g_dirty_marks = 0;

IMAGE* test_resolver(gfx::PIMAGE img, bool draws) {
  if (img != nullptr) return nullptr;  // no pages here
  g_dirty_marks += draws;
  return g_target;
}

TEST(DrawingTarget, NullTargetIsMarkedDirtyOnlyByDrawingOperations) {
  IMAGE target(8, 8);
  g_target = &target;
  gfx::set_image_resolver(test_resolver);
  auto marks = [](auto op) {
    g_dirty_marks = 0;
    op();
    return g_dirty_marks;
  };
  EXPECT_EQ(marks([] { gfx::set_line_color(0xFF); }), 1);
  EXPECT_EQ(marks([] { gfx::set_bk_color(0x01); }), 1);
  EXPECT_EQ(marks([] { gfx::set_bk_color_only(0x02); }), 1);
  EXPECT_EQ(marks([] { gfx::draw_line(0, 0, 3, 0); }), 1);
  EXPECT_EQ(marks([] { gfx::fill_box(0, 0, 1, 1); }), 1);
  EXPECT_EQ(marks([] { gfx::clear_page(); }), 1);
  EXPECT_EQ(marks([] { gfx::set_view_rect(0, 0, 8, 8, 1); }), 1);
  EXPECT_EQ(marks([] { gfx::set_fill_color(0x03); }), 0);
  EXPECT_EQ(marks([] { gfx::set_fill_style(3, 0x03); }), 0);
  EXPECT_EQ(marks([] { gfx::set_line_style(1, 0, 1); }), 0);
  EXPECT_EQ(marks([] { gfx::set_bk_mode(gfx::kTransparent); }), 0);
  EXPECT_EQ(marks([] { gfx::set_text_align(1, 1); }), 0);
  EXPECT_EQ(marks([] { (void)gfx::get_pixel(0, 0); }), 0);
  EXPECT_EQ(target.bk_color, 0x02u);
  EXPECT_EQ(target.text_valign, 1);
  gfx::set_image_resolver(nullptr);
  g_target = nullptr;
}

TEST(DrawingTarget, MissingImageDoesNothing) {
  // Without a window null names no image: every operation is a no-op, reads give 0.
  gfx::set_line_color(1);
  gfx::draw_line(0, 0, 5, 5);
  gfx::fill_box(0, 0, 5, 5);
  gfx::set_view_rect(0, 0, 5, 5, 1);
  EXPECT_EQ(gfx::get_pixel(0, 0), 0u);
}

}  // namespace
