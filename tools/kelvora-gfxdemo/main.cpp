// kelvora-gfxdemo: opens the graphics window, draws a page of shapes and a blended picture, and
// reports the keys and clicks it reads. Used to look at the window layer and to measure it.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>

#include "graphics/drawing.h"
#include "graphics/image.h"
#include "graphics/pacing.h"
#include "graphics/startup_logo_play.h"
#include "graphics/text.h"
#include "graphics/window.h"
#include "platform/codepage.h"
#include "platform/display.h"

namespace {

const char kUsage[] =
    "usage: kelvora-gfxdemo [--seconds N] [--present-every-frame] [--still] [--logo]\n"
    "  Opens a 500 x 200 window at 30 frames per second and prints each key and click it reads.\n"
    "  --seconds N            close after N seconds (default: when the window is closed or Esc)\n"
    "  --present-every-frame  hand every frame to the display, changed or not\n"
    "  --still                draw the page once and then only pace (no redraw per frame)\n"
    "  --logo                 play the start-up logo as the window opens (a key cuts it short)\n"
    "                         and print how long opening took\n";

// A horizontal colour ramp to blend over the page.
std::unique_ptr<gfx::IMAGE> make_ramp() {
  auto ramp = std::make_unique<gfx::IMAGE>(200, 60);
  for (int y = 0; y < ramp->height(); ++y) {
    for (int x = 0; x < ramp->width(); ++x) {
      const uint32_t r = static_cast<uint32_t>(x * 255 / (ramp->width() - 1));
      const uint32_t b = 255 - r;
      ramp->pixels()[y * ramp->width() + x] = r << 16 | 0x40 << 8 | b;
    }
  }
  return ramp;
}

// The texts are 8-bit GBK, as the program stores them.
struct Texts {
  std::string face = platform::utf8ToGbk("微软雅黑");
  std::string english = "Kelvora Update: press a key, click, or Esc to close";
  std::string chinese = platform::utf8ToGbk("正在连接更新服务器……");
};

void draw_page(const gfx::IMAGE& ramp, const Texts& texts, int keys) {
  gfx::set_bk_color(0x151515);
  gfx::clear_page();
  gfx::set_fill_color(0x272727);
  gfx::fill_box(30, 120, 430, 150);
  gfx::set_fill_color(0x00A800);
  gfx::fill_box(30, 120, 30 + 40 * (keys % 11), 150);
  const uint32_t colors[] = {0xE04040, 0xE0C040, 0x40C0E0, 0xFCFCFC};
  for (int i = 0; i < 4; ++i) {
    gfx::set_fill_color(colors[i]);
    gfx::fill_box(30 + i * 50, 30, 70 + i * 50, 70);
  }
  gfx::set_line_color(0xFCFCFC);
  for (int i = 0; i < 5; ++i) gfx::draw_line(250, 30 + i * 10, 470, 40 + i * 10);
  // The ramp half over the boxes, half over the background.
  ramp.putimage_alphablend(nullptr, 130, 50, 160);
  gfx::set_bk_mode(gfx::kTransparent);
  gfx::set_line_color(0xFCFCFC);
  gfx::set_font(-16, 0, texts.face.c_str());
  gfx::draw_text(30, 160, texts.chinese.c_str());
  gfx::set_font(-13, 0, texts.face.c_str());
  gfx::draw_text(30, 8, texts.english.c_str());
  const std::string count = std::to_string(keys) + " keys";
  gfx::draw_text(440, 127, count.c_str());
}

}  // namespace

int main(int argc, char** argv) {
  double seconds = 0;
  bool every_frame = false, still = false, logo = false;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--help")) {
      std::fputs(kUsage, stdout);
      return 0;
    }
    if (!std::strcmp(argv[i], "--version")) {
      std::puts("kelvora-gfxdemo 1.0");
      return 0;
    }
    if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) {
      char* end = nullptr;
      seconds = std::strtod(argv[++i], &end);
      if (*end || seconds < 0) {
        std::fprintf(stderr, "kelvora-gfxdemo: bad --seconds value %s\n", argv[i]);
        return 2;
      }
    } else if (!std::strcmp(argv[i], "--present-every-frame")) {
      every_frame = true;
    } else if (!std::strcmp(argv[i], "--still")) {
      still = true;
    } else if (!std::strcmp(argv[i], "--logo")) {
      logo = true;
    } else {
      std::fputs(kUsage, stderr);
      return 2;
    }
  }

  // A mode set beforehand would replace initgraph's own, logo bit and all.
  if (!logo) gfx::set_window_mode(gfx::kModeNoForcedExit, 0, 0);
  gfx::enable_startup_logo();
  const double opening = gfx::elapsed_seconds();
  if (gfx::initgraph(500, 200, logo ? gfx::kModeStartupLogo | gfx::kModeNoForcedExit : 0) != 0) {
    std::fprintf(stderr, "%s\n", gfx::window_failure_text("kelvora-gfxdemo").c_str());
    return 2;
  }
  if (logo) {
    std::printf("opened in %.0f ms\n", (gfx::elapsed_seconds() - opening) * 1000);
    std::fflush(stdout);
  }
  gfx::set_window_title("Kelvora graphics demo");
  int sw = 0, sh = 0;
  if (gfx::screen_size(&sw, &sh)) gfx::move_window(sw / 2 - 250, sh / 2 - 100);
  gfx::raise_window();
  platform::displaySetPresentChangedOnly(!every_frame);

  const auto ramp = make_ramp();
  const Texts texts;
  int keys = 0;
  draw_page(*ramp, texts, keys);
  gfx::pace_frame(30);
  std::printf("ready\n");
  std::fflush(stdout);
  const double start = gfx::elapsed_seconds();
  bool running = true;
  while (running && gfx::window_alive()) {
    if (seconds > 0 && gfx::elapsed_seconds() - start >= seconds) break;
    while (gfx::key_pending() > 0) {
      const int key = gfx::read_key();
      std::printf("key 0x%x\n", key);
      ++keys;
      if (key == 27) running = false;
    }
    while (gfx::mouse_pending()) {
      const gfx::MouseEvent m = gfx::read_mouse();
      if (m.kind == gfx::kMouseDown) std::printf("click %d %d %u\n", m.x, m.y, m.flags);
      if (m.kind == gfx::kMouseWheel) std::printf("wheel %d %d %d\n", m.x, m.y, m.wheel);
    }
    std::fflush(stdout);
    if (!still) draw_page(*ramp, texts, keys);
    gfx::pace_frame(30);
  }
  const platform::PresentStats stats = platform::displayPresentStats();
  std::printf("frames handed %llu, unchanged %llu, shown %llu\n",
              static_cast<unsigned long long>(stats.handed),
              static_cast<unsigned long long>(stats.skipped),
              static_cast<unsigned long long>(stats.shown));
  return 0;
}
