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

TEST(ImageSizing, EmptySizesBecomeOnePixelAndBufferHasSpareRow) {
  std::unique_ptr<IMAGE> img(gfx::newimage(0, 0));
  EXPECT_EQ(img->width(), 1);
  EXPECT_EQ(img->height(), 1);
  std::unique_ptr<IMAGE> def(gfx::newimage());
  EXPECT_EQ(def->width(), 1);
  std::unique_ptr<IMAGE> big(gfx::newimage(500, -3));
  EXPECT_EQ(big->width(), 500);
  EXPECT_EQ(big->height(), 1);
  EXPECT_EQ(big->buffer_pixels(), 500u * 2);
  EXPECT_EQ(gfx::image_width(big.get()), 500);
  EXPECT_EQ(gfx::image_height(nullptr), 0);  // no window: the target is missing
}

TEST(ImageSizing, NewImageHasDefaultStateAndWholeViewport) {
  IMAGE img(50, 20);
  EXPECT_EQ(img.line_color, 0xA8A8A8u);
  EXPECT_EQ(img.bk_color, 0u);
  EXPECT_EQ(img.text_halign, 0);
  EXPECT_EQ(img.text_valign, 2);
  EXPECT_EQ(img.line_thickness, 1);
  EXPECT_EQ(img.vp_right, 50);
  EXPECT_EQ(img.vp_bottom, 20);
  EXPECT_EQ(img.clip, 1);
  for (int i = 0; i < 50 * 20; ++i) ASSERT_EQ(img.pixels()[i], 0u);
}

TEST(ImageSizing, ResizeKeepsStateAndClearsToBackground) {
  IMAGE img(10, 10);
  img.bk_color = 0x123456;
  img.line_color = 0x00FF00;
  img.text_halign = 1;
  img.vp_left = 3;
  img.pixels()[5] = 0xABCDEF;
  ASSERT_EQ(img.createimage(30, 7), 0);
  EXPECT_EQ(img.width(), 30);
  EXPECT_EQ(img.height(), 7);
  EXPECT_EQ(img.line_color, 0x00FF00u);
  EXPECT_EQ(img.text_halign, 1);
  EXPECT_EQ(img.vp_left, 0);
  EXPECT_EQ(img.vp_right, 30);
  for (int i = 0; i < 30 * 7; ++i) ASSERT_EQ(img.pixels()[i], 0x123456u);
  // A refused size leaves the image as it was.
  EXPECT_NE(img.createimage(0, 5), 0);
  EXPECT_EQ(img.width(), 30);
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

TEST(ImageBlend, AlphaExtremes) {
  auto dst = filled(4, 4, 0x80FF01);
  auto src = filled(4, 4, 0x10FE00);
  auto full = filled(4, 4, 0x80FF01);
  // A zero width blends the whole source.
  src->putimage_alphablend(full.get(), 0, 0, 255, 0, 0, 0, 0);
  EXPECT_EQ(at(*full, 0, 0), 0x10FE00u);
  EXPECT_EQ(at(*full, 3, 3), 0x10FE00u);
  src->putimage_alphablend(dst.get(), 0, 0, uint8_t{0}, 0, 0, 4, 4);
  // (d * 255) >> 8 darkens every non-zero channel by one step.
  EXPECT_EQ(at(*dst, 1, 1), 0x7FFE00u);
}

TEST(ImageBlend, TopByteIsDropped) {
  uint32_t d[1] = {0xFF102030};
  const uint32_t s[1] = {0xFF405060};
  gfx::blend_row_scalar(d, s, 1, 128);
  EXPECT_EQ(d[0] >> 24, 0u);
  EXPECT_EQ(d[0], ((0x10 * 127 + 0x40 * 129) >> 8) << 16 | ((0x20 * 127 + 0x50 * 129) >> 8) << 8 |
                      ((0x30 * 127 + 0x60 * 129) >> 8));
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

TEST(ImageBlend, OverlappingRunsWithinOneImageKeepPixelOrder) {
  std::mt19937 rng(3);
  IMAGE img(64, 8);
  randomize(img, rng);
  std::vector<uint32_t> expect(img.pixels(), img.pixels() + 64 * 8);
  // Reference: one pixel after another, reading pixels already blended in this row.
  for (int y = 0; y < 7; ++y)
    for (int x = 0; x < 32; ++x)
      gfx::blend_row_scalar(&expect[(y + 1) * 64 + x + 1], &expect[y * 64 + x], 1, 200);
  img.putimage_alphablend(&img, 1, 1, 200, 0, 0, 32, 7);
  ASSERT_TRUE(std::equal(expect.begin(), expect.end(), img.pixels()));
  IMAGE same_row(64, 1);
  randomize(same_row, rng);
  std::vector<uint32_t> e(same_row.pixels(), same_row.pixels() + 64);
  for (int x = 0; x < 40; ++x) gfx::blend_row_scalar(&e[x + 2], &e[x], 1, 90);
  same_row.putimage_alphablend(&same_row, 2, 0, 90, 0, 0, 40, 1);
  ASSERT_TRUE(std::equal(e.begin(), e.end(), same_row.pixels()));
}

TEST(ImageBlend, ClipEndsOnePixelBeforeCrossedEdge) {
  auto src = filled(10, 10, 0xFFFFFF);
  auto dst = filled(10, 10, 0);
  // Flush with the edge: nothing is cut.
  auto flush = filled(12, 12, 0);
  src->putimage_alphablend(flush.get(), 2, 2, 255);
  EXPECT_EQ(at(*flush, 11, 11), 0xFFFFFFu);
  EXPECT_EQ(at(*flush, 1, 1), 0u);
  // Crossing the right and bottom edges: the run stops at width - x - 1.
  src->putimage_alphablend(dst.get(), 3, 4, 255);
  EXPECT_EQ(at(*dst, 3, 4), 0xFFFFFFu);
  EXPECT_EQ(at(*dst, 8, 8), 0xFFFFFFu);
  EXPECT_EQ(at(*dst, 9, 5), 0u);
  EXPECT_EQ(at(*dst, 5, 9), 0u);
  EXPECT_EQ(at(*dst, 2, 4), 0u);
}

TEST(ImageBlend, NegativeOriginsShiftTheOtherSide) {
  auto src = filled(6, 6, 0);
  for (int x = 0; x < 6; ++x) src->pixels()[x] = x + 1;  // top row 1..6
  auto dst = filled(20, 20, 0xEEEEEE);
  // Negative destination x: source moves right by the same amount.
  src->putimage_alphablend(dst.get(), -2, 0, 255, 0, 0, 6, 6);
  EXPECT_EQ(at(*dst, 0, 0), 3u);
  EXPECT_EQ(at(*dst, 3, 0), 6u);
  EXPECT_EQ(at(*dst, 4, 0), 0xEEEEEEu);
  // Negative source x: destination moves right by the same amount.
  auto dst2 = filled(20, 20, 0xEEEEEE);
  src->putimage_alphablend(dst2.get(), 5, 0, 255, -3, 0, 6, 6);
  EXPECT_EQ(at(*dst2, 7, 0), 0xEEEEEEu);
  EXPECT_EQ(at(*dst2, 8, 0), 1u);
  EXPECT_EQ(at(*dst2, 10, 0), 3u);
  EXPECT_EQ(at(*dst2, 11, 0), 0xEEEEEEu);
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

TEST(ImagePut, StretchRepeatsNearestPixels) {
  IMAGE src(2, 1);
  src.pixels()[0] = 1;
  src.pixels()[1] = 2;
  auto dst = filled(4, 2, 0);
  src.putimage(dst.get(), 0, 0, 4, 2, 0, 0, 2, 1, gfx::kSrcCopy);
  EXPECT_EQ(at(*dst, 0, 1), 1u);
  EXPECT_EQ(at(*dst, 1, 0), 1u);
  EXPECT_EQ(at(*dst, 2, 0), 2u);
  EXPECT_EQ(at(*dst, 3, 1), 2u);
}

}  // namespace
