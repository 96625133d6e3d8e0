#include "graphics/image.h"

#include <gtest/gtest.h>

#include <memory>
#include <random>

namespace {

using gfx::IMAGE;

std::unique_ptr<IMAGE> filled(int w, int h, uint32_t color) {
  auto img = std::make_unique<IMAGE>(w, h);
  std::fill_n(img->pixels(), w * h, color);
  return img;
}

uint32_t at(const IMAGE& img, int x, int y) {
  return img.pixels()[y * img.width() + x];
}

void randomize(IMAGE& img, std::mt19937& rng) {
  for (int i = 0; i < img.width() * img.height(); ++i) img.pixels()[i] = rng() & 0x00FFFFFF;
}

TEST(ImageCopy, SameSizeCopiesPixelsOnlyOtherSizeResizesFirst) {
  auto src = filled(8, 4, 0x010203);
  src->pixels()[8 * 4 - 1] = 0x0A0B0C;
  IMAGE same(8, 4);
  same.line_color = 0x111111;
  same.copyimage(src.get());
  EXPECT_EQ(at(same, 7, 3), 0x0A0B0Cu);
  EXPECT_EQ(at(same, 0, 0), 0x010203u);
  EXPECT_EQ(same.line_color, 0x111111u);

  IMAGE other(3, 3);
  other.copyimage(src.get());
  EXPECT_EQ(other.width(), 8);
  EXPECT_EQ(other.height(), 4);
  EXPECT_EQ(at(other, 7, 3), 0x0A0B0Cu);
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
  randomize(src, rng);
  randomize(dst, rng);
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
  EXPECT_EQ(at(*dst, 0, 0), 0x808080u);
  EXPECT_EQ(at(*dst, 1, 0), 0x204060u);
  EXPECT_EQ(at(*dst, 2, 0), 0x7F7F7Fu);
}

TEST(ImagePut, CopiesWithClipAndViewportOrigin) {
  auto src = filled(4, 4, 0x0000FF);
  auto dst = filled(10, 10, 0);
  src->putimage(dst.get(), 8, -1);
  EXPECT_EQ(at(*dst, 9, 2), 0x0000FFu);
  EXPECT_EQ(at(*dst, 9, 3), 0u);
  EXPECT_EQ(at(*dst, 7, 0), 0u);
  auto dst2 = filled(10, 10, 0x00FF00);
  dst2->origin_x = dst2->origin_y = 2;
  dst2->clip_left = dst2->clip_top = 2;
  src->putimage(dst2.get(), -1, 0, 3, 3, 0, 0, gfx::kSrcPaint);
  EXPECT_EQ(at(*dst2, 1, 2), 0x00FF00u);
  EXPECT_EQ(at(*dst2, 2, 2), 0x00FFFFu);
  EXPECT_EQ(at(*dst2, 3, 4), 0x00FFFFu);
  EXPECT_EQ(at(*dst2, 4, 4), 0x00FF00u);
}

}  // namespace
