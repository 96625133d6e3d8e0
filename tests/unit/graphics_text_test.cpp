// Fonts and text output, checked against fontconfig's own command and FreeType's own metrics.
#include "graphics/text.h"

#include <ft2build.h>
#include FT_FREETYPE_H
#include FT_TRUETYPE_TABLES_H
#include <gtest/gtest.h>

#include <algorithm>
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

// FreeType's view of the face at an em size, computed here without the layer's code.
struct FaceFacts {
  int cell = 0;
  int width = 0;  // the sum of the characters' advances
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
      facts.width += static_cast<int>((face->glyph->advance.x + 32) >> 6);
    }
    FT_Done_Face(face);
  }
  FT_Done_FreeType(lib);
  return facts;
}

TEST(FontLookup, FaceNamesResolveAsFontconfigResolvesThem) {
  for (const std::string name : {"微软雅黑", "DejaVu Sans Mono", "WenQuanYi Micro Hei"}) {
    const auto expected = testsupport::runCommand("fc-match -f '%{file}' '" + name + "'");
    ASSERT_EQ(expected.status, 0);
    EXPECT_EQ(platform::matchFontFile(name), expected.output) << name;
  }
  // The GBK face name reaches fontconfig as the same name.
  IMAGE img(10, 10);
  gfx::set_font(-16, 0, kYaHei.c_str(), &img);
  ASSERT_TRUE(img.font);
  EXPECT_EQ(img.font->file(), platform::matchFontFile("微软雅黑"));
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
    EXPECT_EQ(gfx::text_width(sample.c_str(), &img), facts.width) << em;
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
  for (size_t i = 0; i < kConnecting.size(); i += 3) {  // three UTF-8 bytes each
    const std::string one = kConnecting.substr(i, 3);
    const auto pixels = glyph_pixels(*font, one);
    EXPECT_NE(std::count(pixels.begin(), pixels.end(), 0u), 64 * 64) << one;
    EXPECT_NE(pixels, missing) << one;
  }
}

TEST(TextChinese, GbkTextDrawsAsTheSameCharacters) {
  IMAGE viaGbk(300, 40), viaUtf8(300, 40);
  gfx::set_font(-16, 0, kYaHei.c_str(), &viaGbk);
  gfx::set_line_color(0xFCFCFC, &viaGbk);
  const std::string gbk = platform::utf8ToGbk(kConnecting);
  gfx::draw_text(30, 5, gbk.c_str(), &viaGbk);
  platform::TextSurface s{viaUtf8.pixels(), 300, 40, 0, 0, 300, 40};
  platform::drawText(*viaGbk.font, kConnecting, 30, 5, 0xFCFCFC, true, 0, s);
  EXPECT_TRUE(std::equal(viaGbk.pixels(), viaGbk.pixels() + 300 * 40, viaUtf8.pixels()));
  EXPECT_NE(std::count(viaGbk.pixels(), viaGbk.pixels() + 300 * 40, 0u), 300 * 40) << "ink";
}

}  // namespace
