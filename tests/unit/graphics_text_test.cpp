// Fonts and text output, checked against fontconfig's own command and FreeType's own metrics.
#include "graphics/text.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "graphics/drawing.h"
#include "graphics/window.h"
#include "platform/codepage.h"
#include "platform/font.h"
#include "support/test_support.h"

namespace {

using gfx::IMAGE;

// The face the updater asks for, as the GBK bytes it stores.
const std::string kYaHei = platform::utf8ToGbk("微软雅黑");
// The Chinese opening text of the progress window.
const std::string kConnecting = "正在连接更新服务器……";

struct Box {
  int left = 1 << 30, top = 1 << 30, right = -1, bottom = -1;
  bool empty() const { return right < 0; }
};

// Bounding box of every pixel that differs from `background`.
Box ink(const IMAGE& img, uint32_t background) {
  Box b;
  for (int y = 0; y < img.height(); ++y) {
    for (int x = 0; x < img.width(); ++x) {
      if (img.pixels()[y * img.width() + x] == background) continue;
      b.left = std::min(b.left, x);
      b.top = std::min(b.top, y);
      b.right = std::max(b.right, x + 1);
      b.bottom = std::max(b.bottom, y + 1);
    }
  }
  return b;
}

// FreeType's view of the face at an em size, computed here without the layer's code.
struct FaceFacts {
  int cell = 0;
  std::vector<int> advances;
};

FaceFacts freetype_facts(const std::string& file, int index, int em, const std::string& chars) {
  FaceFacts facts;
  FT_Library lib;
  FT_Face face;
  if (FT_Init_FreeType(&lib) != 0) return facts;
  if (FT_New_Face(lib, file.c_str(), index, &face) == 0) {
    FT_Set_Pixel_Sizes(face, 0, em);
    const auto* os2 = static_cast<const TT_OS2*>(FT_Get_Sfnt_Table(face, FT_SFNT_OS2));
    const double units =
        os2 ? os2->usWinAscent + os2->usWinDescent : face->ascender - face->descender;
    facts.cell = static_cast<int>(std::lround(units * em / face->units_per_EM));
    for (char c : chars) {
      FT_Load_Char(face, static_cast<unsigned char>(c), FT_LOAD_DEFAULT);
      facts.advances.push_back(static_cast<int>((face->glyph->advance.x + 32) >> 6));
    }
    FT_Done_Face(face);
  }
  FT_Done_FreeType(lib);
  return facts;
}

std::string trim(std::string s) {
  while (!s.empty() && (s.back() == '\n' || s.back() == ' ')) s.pop_back();
  return s;
}

TEST(FontLookup, FaceNamesResolveAsFontconfigResolvesThem) {
  for (const std::string name : {"微软雅黑", "DejaVu Sans Mono", "WenQuanYi Micro Hei"}) {
    auto expected = testsupport::runCommand("fc-match -f '%{file}' '" + name + "'");
    ASSERT_EQ(expected.status, 0);
    EXPECT_EQ(platform::matchFontFile(name), trim(expected.output)) << name;
  }
  // The GBK face name reaches fontconfig as the same name.
  IMAGE img(10, 10);
  gfx::set_font(-16, 0, kYaHei.c_str(), &img);
  ASSERT_TRUE(img.font);
  EXPECT_EQ(img.font->file(), platform::matchFontFile("微软雅黑"));
  EXPECT_EQ(img.font->pixel_size(), 16);
}

TEST(FontMetrics, ExtentsMatchFreeTypeMetricsOfTheFace) {
  IMAGE img(10, 10);
  const std::string sample = "Kelvora 3.11.0 Wy";
  for (int em : {13, 16, 40}) {
    gfx::set_font(-em, 0, kYaHei.c_str(), &img);
    ASSERT_TRUE(img.font);
    const FaceFacts facts = freetype_facts(img.font->file(), img.font->face_index(), em, sample);
    ASSERT_GT(facts.cell, em);
    EXPECT_EQ(gfx::text_height(sample.c_str(), &img), facts.cell) << em;
    int width = 0;
    for (int a : facts.advances) width += a;
    EXPECT_EQ(gfx::text_width(sample.c_str(), &img), width) << em;
  }
  // A positive height asks for the whole cell.
  gfx::set_font(30, 0, kYaHei.c_str(), &img);
  EXPECT_NEAR(gfx::text_height("x", &img), 30, 1);
  // A width asks for that average character width, whatever the height.
  gfx::set_font(-16, 4, kYaHei.c_str(), &img);
  const int narrow = gfx::text_width("abcdefghij", &img);
  gfx::set_font(-16, 16, kYaHei.c_str(), &img);
  const int wide = gfx::text_width("abcdefghij", &img);
  EXPECT_EQ(gfx::text_height("x", &img), freetype_facts(img.font->file(), 0, 16, "").cell);
  EXPECT_NEAR(narrow, 40, 12);
  EXPECT_NEAR(wide, 160, 40);
  // Line breaks are passed through without taking room.
  gfx::set_font(-16, 0, kYaHei.c_str(), &img);
  EXPECT_EQ(gfx::text_width("ab\n\n", &img), gfx::text_width("ab", &img));
  EXPECT_EQ(gfx::text_height(nullptr, &img), 0);
  EXPECT_EQ(gfx::text_height("x", reinterpret_cast<gfx::PIMAGE>(3)), 0);  // no such page
}

TEST(FontMetrics, EverySetFontMakesAFontObjectSharingTheCachedFace) {
  IMAGE img(10, 10);
  gfx::set_font(-16, 0, kYaHei.c_str(), &img);
  auto first = img.font;
  gfx::set_font(-16, 0, kYaHei.c_str(), &img);
  EXPECT_NE(img.font, first);
  EXPECT_EQ(first.use_count(), 1);  // the image released it
  EXPECT_EQ(img.font->file(), first->file());
}

class TextDraw : public ::testing::Test {
 protected:
  void SetUp() override {
    gfx::set_bk_color(0x102030, &img);
    gfx::set_line_color(0xFCFCFC, &img);
    gfx::set_font(-16, 0, kYaHei.c_str(), &img);
  }
  Box draw(int h, int v, int x, int y, const char* text = "Hello") {
    gfx::set_bk_color(0x102030, &img);
    gfx::clear_page(&img);
    gfx::set_text_align(h, v, &img);
    gfx::draw_text(x, y, text, &img);
    return ink(img, 0x102030);
  }
  IMAGE img{200, 100};
};

TEST_F(TextDraw, AlignmentMovesTheTextByItsExtent) {
  gfx::set_bk_mode(gfx::kTransparent, &img);
  const int w = gfx::text_width("Hello", &img), h = gfx::text_height("Hello", &img);
  const Box top = draw(0, 2, 60, 40);
  ASSERT_FALSE(top.empty());
  // The glyphs sit inside their cell.
  EXPECT_GE(top.left, 60);
  EXPECT_LE(top.right, 60 + w);
  EXPECT_GE(top.top, 40);
  EXPECT_LE(top.bottom, 40 + h);
  const Box centred = draw(0, 1, 60, 40);
  EXPECT_EQ(top.top - centred.top, h / 2);
  EXPECT_EQ(top.left, centred.left);
  const Box bottom = draw(0, 0, 60, 40);
  EXPECT_EQ(top.top - bottom.top, h);
  const Box middle = draw(1, 2, 60, 40);
  EXPECT_EQ(top.left - middle.left, w / 2);
  EXPECT_EQ(top.top, middle.top);
  const Box right = draw(2, 2, 60, 40);
  EXPECT_EQ(top.left - right.left, w);
}

TEST_F(TextDraw, OpaqueFillsTheExtentTransparentKeepsTheBackdrop) {
  const int w = gfx::text_width("Hi", &img), h = gfx::text_height("Hi", &img);
  std::fill_n(img.pixels(), 200 * 100, 0x00FF00);
  gfx::set_bk_color_only(0x0000FF, &img);
  gfx::set_bk_mode(gfx::kOpaque, &img);
  gfx::set_text_align(0, 2, &img);
  gfx::draw_text(10, 20, "Hi", &img);
  int background = 0, glyph = 0;
  for (int y = 0; y < 100; ++y) {
    for (int x = 0; x < 200; ++x) {
      const uint32_t p = img.pixels()[y * 200 + x];
      const bool inside = x >= 10 && x < 10 + w && y >= 20 && y < 20 + h;
      if (!inside) {
        ASSERT_EQ(p, 0x00FF00u) << x << "," << y;
        continue;
      }
      ASSERT_NE(p, 0x00FF00u) << x << "," << y;
      background += p == 0x0000FFu;
      glyph += p == 0xFCFCFCu;
    }
  }
  EXPECT_GT(background, w * h / 2);
  EXPECT_GT(glyph, 0);
  // Transparent: the backdrop stays wherever no glyph covers it; edges blend into it.
  std::fill_n(img.pixels(), 200 * 100, 0x00FF00);
  gfx::set_bk_mode(gfx::kTransparent, &img);
  gfx::draw_text(10, 20, "Hi", &img);
  int blue = 0, blended = 0;
  for (int i = 0; i < 200 * 100; ++i) {
    const uint32_t p = img.pixels()[i];
    blue += p == 0x0000FFu;
    blended += p != 0x00FF00u && p != 0xFCFCFCu;
  }
  EXPECT_EQ(blue, 0);
  EXPECT_GT(blended, 0);  // antialiased edges mix text and backdrop colours
}

TEST_F(TextDraw, ViewportMovesAndClipsText) {
  gfx::set_bk_mode(gfx::kTransparent, &img);
  const Box plain = draw(0, 2, 0, 0);
  gfx::set_view_rect(50, 30, 60, 100, 1, &img);
  const Box moved = draw(0, 2, 0, 0);
  EXPECT_EQ(moved.top, plain.top + 30);
  EXPECT_GE(moved.left, 50);
  EXPECT_LE(moved.right, 60);  // cut at the viewport's right edge
  gfx::set_view_rect(-5, -5, 1000, 1000, 1, &img);
  EXPECT_EQ(img.vp_left, 0);
  EXPECT_EQ(img.vp_right, 200);
  EXPECT_EQ(img.vp_bottom, 100);
}

TEST_F(TextDraw, RectangleTextIsPlacedAndCutWithinIt) {
  gfx::set_bk_mode(gfx::kOpaque, &img);
  gfx::set_bk_color(0x102030, &img);
  gfx::clear_page(&img);
  gfx::set_bk_color_only(0x0000FF, &img);
  gfx::set_text_align(1, 1, &img);
  gfx::draw_text_rect(20, 10, 60, 80, "Hello world", &img);
  const Box b = ink(img, 0x102030);
  EXPECT_EQ(b.left, 20);  // wider than the rectangle: cut on both sides
  EXPECT_EQ(b.right, 60);
  const int h = gfx::text_height("H", &img);
  EXPECT_EQ(b.top, 10 + (70 - h) / 2);
  EXPECT_EQ(b.bottom, b.top + h);
}

TEST(TextTarget, OnlyDrawingTextOnTheScreenMarksItDirty) {
  gfx::GraphContext& c = gfx::graph_context();
  c.width = 60;
  c.height = 20;
  gfx::set_active_page(0);
  c.dirty_countdown = 255;
  gfx::set_font(-12, 0, kYaHei.c_str());
  gfx::set_text_color(0xFFFFFF);
  EXPECT_GT(gfx::text_width("x"), 0);
  EXPECT_EQ(c.dirty_countdown, 255);
  gfx::draw_text(0, 0, "x");
  EXPECT_EQ(c.dirty_countdown, 254);
  IMAGE own(5, 5);
  gfx::draw_text(0, 0, "x", &own);
  EXPECT_EQ(c.dirty_countdown, 254);
  EXPECT_FALSE(ink(*c.pages[0], 0).empty());
}

// Pixels of one code point drawn alone with the platform's text output.
std::vector<uint32_t> glyph_pixels(const platform::Font& font, const std::string& utf8) {
  std::vector<uint32_t> px(64 * 64, 0);
  platform::TextSurface s{px.data(), 64, 64, 0, 0, 64, 64};
  platform::drawText(font, utf8, 4, 4, 0xFFFFFF, false, 0, s);
  return px;
}

TEST(TextChinese, GlyphsComeFromAFaceThatHasThem) {
  auto font = platform::createFont(-16, 0, "微软雅黑");
  ASSERT_TRUE(font);
  // A code point no installed face has draws the missing-character glyph.
  const auto missing = glyph_pixels(*font, "\U0010FFFD");
  ASSERT_NE(std::count(missing.begin(), missing.end(), 0u), 64 * 64) << "no box drawn";
  std::u16string units = platform::utf8ToUtf16(kConnecting);
  std::string utf8 = kConnecting;
  for (size_t i = 0; i < utf8.size();) {
    const size_t n = 3;  // every character of the sentence is three bytes in UTF-8
    const std::string one = utf8.substr(i, n);
    i += n;
    const auto pixels = glyph_pixels(*font, one);
    EXPECT_NE(std::count(pixels.begin(), pixels.end(), 0u), 64 * 64) << one;
    EXPECT_NE(pixels, missing) << one;
  }
  EXPECT_TRUE(platform::hasFallbackFor(*font, U'正') ||
              font->file().find("wqy") != std::string::npos);
  EXPECT_FALSE(platform::hasFallbackFor(*font, U'\U0010FFFD'));
}

TEST(TextChinese, GbkTextDrawsAsTheSameCharacters) {
  IMAGE viaGbk(300, 40), viaUtf8(300, 40);
  gfx::set_font(-16, 0, kYaHei.c_str(), &viaGbk);
  gfx::set_line_color(0xFCFCFC, &viaGbk);
  const std::string gbk = platform::utf8ToGbk(kConnecting);
  ASSERT_EQ(gbk.size(), 22u);
  gfx::draw_text(30, 5, gbk.c_str(), &viaGbk);
  platform::TextSurface s{viaUtf8.pixels(), 300, 40, 0, 0, 300, 40};
  platform::drawText(*viaGbk.font, kConnecting, 30, 5, 0xFCFCFC, true, 0, s);
  EXPECT_TRUE(std::equal(viaGbk.pixels(), viaGbk.pixels() + 300 * 40, viaUtf8.pixels()));
  EXPECT_FALSE(ink(viaGbk, 0).empty());
}

}  // namespace
