#include "graphics/image.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

#include "graphics/drawing.h"

namespace {

using gfx::IMAGE;

std::unique_ptr<IMAGE> filled(int w, int h, uint32_t color) {
  auto img = std::make_unique<IMAGE>(w, h);
  std::fill_n(img->pixels(), w * h, color);
  return img;
}

TEST(ImageCopy, SameSizeCopiesPixelsOnlyOtherSizeResizesFirst) {
  auto src = filled(8, 4, 0x010203);
  src->pixels()[8 * 4 - 1] = 0x0A0B0C;
  IMAGE same(8, 4);
  same.line_color = 0x111111;
  same.copyimage(src.get());
  EXPECT_EQ(gfx::get_pixel(7, 3, &same), 0x0A0B0Cu);
  EXPECT_EQ(gfx::get_pixel(0, 0, &same), 0x010203u);
  EXPECT_EQ(same.line_color, 0x111111u);

  IMAGE other(3, 3);
  other.copyimage(src.get());
  EXPECT_EQ(std::make_pair(other.width(), other.height()), std::make_pair(8, 4));
  EXPECT_EQ(gfx::get_pixel(7, 3, &other), 0x0A0B0Cu);
}

TEST(ImageBlend, FourPixelPathEqualsScalarOnRandomRows) {
  std::mt19937 rng(7);
  for (int trial = 0; trial < 200; ++trial) {
    const int n = static_cast<int>(rng() % 37);
    const uint32_t alpha = rng() % 256;
    std::vector<uint32_t> d(n), s(n);
    for (auto& v : d) v = rng();  // top bytes set too: both forms must drop them
    for (auto& v : s) v = rng();
    std::vector<uint32_t> a = d, b = d;
    gfx::blend_row_scalar(a.data(), s.data(), n, alpha);
    gfx::blend_row_sse2(b.data(), s.data(), n, alpha);
    ASSERT_EQ(a, b) << "n=" << n << " alpha=" << alpha;
  }
}

TEST(ImageBlend, WholeImageBlendMatchesPerPixelFormula) {
  std::mt19937 rng(11);
  IMAGE src(500, 200), dst(500, 200);
  for (IMAGE* img : {&src, &dst})
    for (int i = 0; i < 500 * 200; ++i) img->pixels()[i] = rng() & 0x00FFFFFF;
  std::vector<uint32_t> expect(dst.pixels(), dst.pixels() + 500 * 200);
  for (int y = 0; y < 200; ++y)
    gfx::blend_row_scalar(&expect[y * 500], src.pixels() + y * 500, 500, 77);
  src.putimage_alphablend(&dst, 0, 0, 77);
  ASSERT_TRUE(std::equal(expect.begin(), expect.end(), dst.pixels()));
}

TEST(ImageBlend, MaskZeroKeepsFullMaskReplaces) {
  auto src = filled(4, 1, 0x204060);
  auto dst = filled(8, 2, 0x808080);
  auto mask = filled(4, 1, 0);
  mask->pixels()[1] = 0x000000FF;
  mask->pixels()[2] = 0x00FF0000;  // non-zero but alpha 0: darkens one step
  src->putimage_alphablend(dst.get(), 0, 0, mask.get());
  EXPECT_EQ(gfx::get_pixel(0, 0, dst.get()), 0x808080u);
  EXPECT_EQ(gfx::get_pixel(1, 0, dst.get()), 0x204060u);
  EXPECT_EQ(gfx::get_pixel(2, 0, dst.get()), 0x7F7F7Fu);
}

TEST(ImagePut, CopiesWithClipAndViewportOrigin) {
  auto src = filled(4, 4, 0x0000FF);
  auto dst = filled(10, 10, 0);
  src->putimage(dst.get(), 8, -1);
  EXPECT_EQ(gfx::get_pixel(9, 2, dst.get()), 0x0000FFu);
  EXPECT_EQ(gfx::get_pixel(9, 3, dst.get()), 0u);
  EXPECT_EQ(gfx::get_pixel(7, 0, dst.get()), 0u);
  auto dst2 = filled(10, 10, 0x00FF00);
  dst2->origin_x = dst2->origin_y = 2;
  dst2->clip_left = dst2->clip_top = 2;
  src->putimage(dst2.get(), -1, 0, 3, 3, 0, 0, gfx::kSrcPaint);
  EXPECT_EQ(gfx::get_pixel(1, 2, dst2.get()), 0x00FF00u);
  EXPECT_EQ(gfx::get_pixel(2, 2, dst2.get()), 0x00FFFFu);
  EXPECT_EQ(gfx::get_pixel(3, 4, dst2.get()), 0x00FFFFu);
  EXPECT_EQ(gfx::get_pixel(4, 4, dst2.get()), 0x00FF00u);
}

}  // namespace
