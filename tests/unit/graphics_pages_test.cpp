// What null and page numbers name: the active page, the calling thread's target, the pages.
#include "graphics/pages.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <thread>

#include "graphics/drawing.h"
#include "graphics/text.h"

namespace {

using gfx::IMAGE;

int g_dirty = 0;
int g_refresh = 0;

class Pages : public ::testing::Test {
 protected:
  void SetUp() override {
    g_dirty = g_refresh = 0;
    gfx::set_page_hooks({[] { ++g_dirty; }, [] { ++g_refresh; }});
    gfx::set_graph_size(50, 20);
    gfx::set_active_page(0);
  }
  void TearDown() override {
    gfx::set_target(nullptr);
    gfx::set_page_hooks({});
    gfx::release_pages();
  }
};

TEST_F(Pages, NullAndPageNumbersNameThePages) {
  IMAGE* page0 = gfx::page_image(0);
  ASSERT_NE(page0, nullptr);
  EXPECT_EQ(page0->width(), 50);
  EXPECT_EQ(gfx::page_image(1), nullptr);  // made on first use only
  gfx::set_active_page(2);
  IMAGE* page2 = gfx::page_image(2);
  ASSERT_NE(page2, nullptr);
  gfx::set_bk_color(0x0000AA);  // null: the active page
  EXPECT_EQ(page2->pixels()[0], 0x0000AAu);
  EXPECT_EQ(page0->pixels()[0], 0u);
  // Page numbers 1 to 31 keep their low four bits; 16 + 0 is page 0.
  gfx::set_bk_color(0x00BB00, reinterpret_cast<gfx::PIMAGE>(16));
  EXPECT_EQ(page0->pixels()[0], 0x00BB00u);
  EXPECT_EQ(gfx::image_width(reinterpret_cast<gfx::PIMAGE>(3)), 0);  // page 3 not made
  gfx::set_active_page(7);  // no such page: nothing changes
  EXPECT_EQ(gfx::active_page(), 2);
  gfx::set_visual_page(1);
  EXPECT_EQ(gfx::visual_page(), 1);
  EXPECT_NE(gfx::page_image(1), nullptr);
  EXPECT_EQ(g_refresh, 1);
}

TEST_F(Pages, OnlyDrawingOnNullMarksTheScreenDirty) {
  IMAGE own(5, 5);
  gfx::draw_text(0, 0, "x");
  EXPECT_EQ(g_dirty, 1);
  (void)gfx::text_height("x");
  gfx::set_font(-12, 0, "DejaVu Sans");
  EXPECT_EQ(g_dirty, 1);
  gfx::draw_text(0, 0, "x", &own);
  gfx::set_bk_color(1, reinterpret_cast<gfx::PIMAGE>(1));
  EXPECT_EQ(g_dirty, 1);
  // Drawing into an explicit target through null still counts as drawing on the screen target.
  gfx::set_target(&own);
  gfx::clear_page();
  EXPECT_EQ(g_dirty, 2);
}

TEST_F(Pages, TargetIsPerThread) {
  IMAGE own(5, 5);
  gfx::set_target(&own);
  gfx::set_bk_color(0x111111);
  EXPECT_EQ(own.pixels()[0], 0x111111u);
  // Another thread's null still lands on the active page.
  std::thread other([] {
    EXPECT_EQ(gfx::get_target(), nullptr);
    gfx::set_bk_color(0x222222);
  });
  other.join();
  EXPECT_EQ(gfx::page_image(0)->pixels()[0], 0x222222u);
  EXPECT_EQ(own.pixels()[0], 0x111111u);
  // A page number as target names that page.
  gfx::set_target(reinterpret_cast<gfx::PIMAGE>(1));
  EXPECT_EQ(gfx::get_target(), nullptr);  // page 1 does not exist yet
  gfx::set_visual_page(1);
  gfx::set_target(reinterpret_cast<gfx::PIMAGE>(1));
  EXPECT_EQ(gfx::get_target(), gfx::page_image(1));
}

void report_to_stderr(const std::string& title, const std::string& text) {
  std::fprintf(stderr, "BOX[%s|%s]\n", title.c_str(), text.c_str());
}

TEST(FatalErrorDeathTest, ReporterShowsTheMessageAndTheProcessEndsWithMinus11) {
  EXPECT_EXIT(
      {
        gfx::set_fatal_error_reporter(report_to_stderr);
        alignas(IMAGE) unsigned char junk[sizeof(IMAGE)] = {};
        reinterpret_cast<IMAGE*>(junk)->copyimage(nullptr);
      },
      ::testing::ExitedWithCode(static_cast<unsigned char>(-11)),
      "BOX\\[Graphics ERROR message\\|Fatal error: read/write at 0x.*At function "
      "'IMAGE::copyimage'\\]");
}

}  // namespace
