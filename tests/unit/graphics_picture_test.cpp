// Loading pictures into images, compared with ImageMagick's decoding of the same files.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <string>
#include <vector>

#include "graphics/image.h"
#include "platform/picture.h"
#include "support/test_support.h"

namespace {

using gfx::IMAGE;

std::vector<uint8_t> picture(const std::string& name) {
  return testsupport::readFile(std::string(KELVORA_TEST_DATA_DIR) + "/pictures/" + name);
}

// Largest channel difference between the image and ImageMagick's RGB bytes.
int worst_difference(const IMAGE& img, const std::vector<uint8_t>& rgb) {
  int worst = 0;
  for (int i = 0; i < img.width() * img.height(); ++i) {
    const uint32_t p = img.pixels()[i];
    const int ours[3] = {int(p >> 16 & 0xFF), int(p >> 8 & 0xFF), int(p & 0xFF)};
    for (int c = 0; c < 3; ++c) worst = std::max(worst, std::abs(ours[c] - rgb[i * 3 + c]));
  }
  return worst;
}

TEST(GetImage, DecodesEveryKindLikeImageMagick) {
  for (const std::string kind : {"baseline", "progressive", "gray", "cmyk"}) {
    SCOPED_TRACE(kind);
    const auto jpeg = picture("halves-" + kind + ".jpg");
    const auto rgb = picture("halves-" + kind + ".rgb");
    ASSERT_FALSE(jpeg.empty());
    IMAGE img(3, 3);
    img.line_color = 0x123456;
    ASSERT_EQ(img.getimage(jpeg.data(), jpeg.size()), 0);
    EXPECT_EQ(std::make_pair(img.width(), img.height()), std::make_pair(64, 32));
    ASSERT_EQ(rgb.size(), 64u * 32 * 3);
    EXPECT_LE(worst_difference(img, rgb), 3);
    // Loading resizes the viewport with the image; the drawing state stays.
    EXPECT_EQ(img.line_color, 0x123456u);
    EXPECT_EQ(img.vp_right, 64);
  }
}

TEST(GetImage, BadDataFailsAndLeavesTheImageAsItWas) {
  const auto good = picture("halves-baseline.jpg");
  ASSERT_GT(good.size(), 100u);
  IMAGE img(5, 4);
  std::fill_n(img.pixels(), 20, 0xABCDEF);
  auto unchanged = [&] {
    return img.width() == 5 && img.height() == 4 &&
           std::count(img.pixels(), img.pixels() + 20, 0xABCDEFu) == 20;
  };
  testing::internal::CaptureStderr();
  EXPECT_EQ(img.getimage(nullptr, 10), -12);
  EXPECT_EQ(img.getimage(good.data(), 0), -12);
  // Cut anywhere: in the header, in the tables, in the scan.
  for (size_t cut : {size_t{2}, size_t{20}, size_t{150}, good.size() / 2, good.size() - 3}) {
    EXPECT_EQ(img.getimage(good.data(), cut), -12) << cut;
    EXPECT_TRUE(unchanged()) << cut;
  }
  std::vector<uint8_t> garbage(4096);
  for (size_t i = 0; i < garbage.size(); ++i) garbage[i] = static_cast<uint8_t>(i * 7919 >> 3);
  EXPECT_EQ(img.getimage(garbage.data(), garbage.size()), -12);
  // A valid start followed by garbage.
  std::vector<uint8_t> spliced(good.begin(), good.begin() + 120);
  spliced.insert(spliced.end(), garbage.begin(), garbage.end());
  EXPECT_EQ(img.getimage(spliced.data(), spliced.size()), -12);
  EXPECT_TRUE(unchanged());
  // The decoder says nothing on standard error.
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
}

TEST(GetImage, OversizedHeaderIsRefusedBeforeDecoding) {
  auto jpeg = picture("halves-baseline.jpg");
  // The frame header (SOF0) holds height and width as big-endian words at +5 and +7.
  const uint8_t marker[] = {0xFF, 0xC0};
  const size_t sof = std::search(jpeg.begin(), jpeg.end(), marker, marker + 2) - jpeg.begin();
  ASSERT_LT(sof + 9, jpeg.size());
  // 40000 x 40000: within what the format allows, far past what an image here may take.
  jpeg[sof + 5] = jpeg[sof + 7] = 0x9C;
  jpeg[sof + 6] = jpeg[sof + 8] = 0x40;
  platform::Picture out;
  EXPECT_EQ(platform::decodeJpeg(jpeg, out), platform::PictureResult::too_large);
  EXPECT_TRUE(out.pixels.empty());
  // Within the side limit but past the pixel limit.
  jpeg[sof + 5] = 0x3F;  // 16383 rows
  jpeg[sof + 7] = 0x3F;  // 16383 columns
  jpeg[sof + 6] = jpeg[sof + 8] = 0xFF;
  EXPECT_EQ(platform::decodeJpeg(jpeg, out), platform::PictureResult::too_large);
}

}  // namespace
