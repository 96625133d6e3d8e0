#include "graphics/drawing.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using gfx::IMAGE;

// The row as a string: '#' where the pixel has the colour, '.' elsewhere.
std::string row(IMAGE& img, int y, uint32_t color) {
  std::string s;
  for (int x = 0; x < img.width(); ++x) s += gfx::get_pixel(x, y, &img) == color ? '#' : '.';
  return s;
}

int count(const IMAGE& img, uint32_t color) {
  int n = 0;
  for (int i = 0; i < img.width() * img.height(); ++i) n += img.pixels()[i] == color;
  return n;
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

TEST(DrawingFill, RightAndBottomEdgesExcluded) {
  IMAGE img(10, 10);
  gfx::set_fill_color(0xABCDEF, &img);
  gfx::fill_box(2, 3, 5, 7, &img);
  EXPECT_EQ(count(img, 0xABCDEF), 3 * 4);
  EXPECT_EQ(row(img, 6, 0xABCDEF), "..###.....");
  EXPECT_EQ(row(img, 7, 0xABCDEF), "..........");
  gfx::fill_box(8, 8, 3, 3, &img);  // inverted: nothing
  gfx::fill_box(-5, -5, 1, 1, &img);
  EXPECT_EQ(count(img, 0xABCDEF), 13);
}

}  // namespace
