#include "graphics/startup_logo_play.h"

#include <algorithm>

#include "graphics/drawing.h"
#include "graphics/image.h"
#include "graphics/pacing.h"
#include "graphics/startup_logo.h"
#include "graphics/window.h"

namespace gfx {

namespace {

constexpr double kLogoFps = 60;

uint32_t grey(int n) {
  const auto v = static_cast<uint32_t>(n);
  return v << 16 | v << 8 | v;
}

class LogoShow {
 public:
  explicit LogoShow(const IMAGE& picture)
      : picture_(picture),
        x_((graph_context().width - picture.width()) / 2),
        y_((graph_context().height - picture.height()) / 2) {}

  void play() {
    for (int i = 0; i < 20 && !over_; ++i) {
      clear_page();
      frame();
    }
    for (int n = 0; n < 256 && !over_; n += 8) {
      set_bk_color_only(grey(n));
      clear_page();
      frame();
    }
    set_bk_color_only(0xFFFFFF);

    int alpha = 0;
    bool skip_display = false;
    for (; alpha < 256 && !over_; alpha += 8) {
      clear_page();
      blend(alpha);
      if (!frame()) {
        skip_display = key_read_;
        alpha += 8;
        break;
      }
    }
    for (int i = 0; i < 60 && !skip_display && !over_; ++i) {
      clear_page();
      picture_.putimage(x_, y_, kSrcCopy);
      if (!frame()) break;
    }
    for (alpha = std::min(alpha, 252); alpha >= 0 && !over_; alpha -= 8) {
      clear_page();
      blend(alpha);
      frame();
    }
    if (over_) return;
    clear_page();
    for (int n = 255; n > 0 && !over_; n -= 8) {
      set_bk_color_only(grey(n));
      clear_page();
      frame();
    }
  }

 private:
  void blend(int alpha) const {
    picture_.putimage_alphablend(nullptr, x_, y_, static_cast<uint8_t>(alpha));
  }

  // Ends one frame: drops the keys typed meanwhile and paces. False when a phase that a key cuts
  // short should end: a key came, or the window went away (then over_ is set as well).
  bool frame() {
    const bool key = drain_keys();
    if (!window_alive()) {
      over_ = true;
      return false;
    }
    pace_frame(kLogoFps);
    if (!window_alive()) over_ = true;
    key_read_ = key;
    return !key && !over_;
  }

  // Reads the keys straight off the queue: read_key would wait for a fresh key when only stale
  // ones are queued, and key_pending is negative, not zero, once the window is destroyed.
  static bool drain_keys() {
    bool any = false;
    // The peek leaves the key it reports at the front of the queue.
    while (key_pending() > 0) {
      graph_context().key_queue.pop(nullptr);
      any = true;
    }
    return any;
  }

  const IMAGE& picture_;
  const int x_, y_;
  bool over_ = false;
  bool key_read_ = false;
};

}  // namespace

bool play_startup_logo() {
  return play_startup_logo(startup_logo_picture());
}

void enable_startup_logo() {
  graph_context().startup_logo = [] { return play_startup_logo(); };
}

bool play_startup_logo(std::span<const uint8_t> bytes) {
  const GraphContext& c = graph_context();
  if (!window_alive() || !c.window || !screen_page()) return false;
  PIMAGE picture = newimage();
  if (picture->getimage(bytes.data(), bytes.size()) != 0) {
    delimage(picture);
    return false;
  }
  // A picture that would fill the screen edge to edge is shown at half size instead.
  if (picture->width() >= c.width) {
    PIMAGE half = newimage(std::max(picture->width() / 2, 1), std::max(picture->height() / 2, 1));
    picture->putimage(half, 0, 0, half->width(), half->height(), 0, 0, picture->width(),
                      picture->height(), kSrcCopy);
    delimage(picture);
    picture = half;
  }

  set_render_mode(1);
  LogoShow(*picture).play();
  delimage(picture);
  set_bk_color_only(0);
  clear_page();
  set_render_mode(0);
  return true;
}

}  // namespace gfx
