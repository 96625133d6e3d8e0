// The progress window. It reacts to no key and no mouse action; the worker only rewrites the
// status line and the state word that each frame reads.
#include "updater/progress_window.h"

#include <cstdio>
#include <string>

#include "graphics/drawing.h"
#include "graphics/image.h"
#include "graphics/pacing.h"
#include "graphics/text.h"
#include "graphics/window.h"
#include "updater/app_state.h"
#include "updater/settings_block.h"
#include "updater/update_texts.h"

namespace progress_view {

namespace {

// "微软雅黑" in the 8-bit code page; the font layer falls back per glyph where it is missing.
constexpr char kFaceName[] = "\xCE\xA2\xC8\xED\xD1\xC5\xBA\xDA";
constexpr int kTrackX = 30;
constexpr int kTrackY = 120;
constexpr int kTrackHeight = 30;
constexpr int kPixelsPerPercent = 4;

}  // namespace

ProgressView*& progressViewSlot() {
  static ProgressView* view = nullptr;
  return view;
}

void init_progress_view(ProgressView& view) {
  view.background = gfx::newimage(500, 200);
  gfx::set_fill_color(0x151515, view.background);
  gfx::fill_box(0, 0, view.windowWidth, view.windowHeight, view.background);
  view.track = gfx::newimage(400, 30);
  gfx::set_fill_color(0x272727, view.track);
  gfx::fill_box(0, 0, 400, 30, view.track);

  bool chinese = settings_block::isChinese(app_state::appState().settingsBlock);
  app_state::appState().statusLine.set(update_texts::connecting(chinese));
  view.percentText = {};
  view.percentText[0] = ' ';
  view.percentage = 0;
}

void draw_progress_frame(const ProgressView& view, const std::string& status) {
  view.background->putimage(0, 0, gfx::kSrcCopy);
  view.track->putimage(kTrackX, kTrackY, gfx::kSrcCopy);

  gfx::set_line_color(0xFCFCFC);
  gfx::set_font(-16, 0, kFaceName);
  gfx::draw_text(30, 45, status.c_str());

  gfx::set_line_color(0xFCFCFC);
  gfx::set_font(-13, 0, kFaceName);
  gfx::draw_text(445, 125, view.percentText.data());

  if (view.percentage > 0) {
    gfx::set_line_color(0x00A800);
    int right = kTrackX + kPixelsPerPercent * view.percentage;
    // Lines leave out their end point: the bar ends at 29 + 4 x percentage.
    for (int y = kTrackY; y < kTrackY + kTrackHeight; ++y) gfx::draw_line(kTrackX, y, right, y);
  }
}

int run_progress_window() {
  ProgressView& view = *progressViewSlot();
  gfx::raise_window();
  while (gfx::window_alive()) {
    if (gfx::key_pending()) gfx::read_key();
    while (gfx::mouse_pending()) gfx::read_mouse();

    app_state::AppState& state = app_state::appState();
    view.percentage = advanceProgress(view.percentage, state.updateState, state.downloadedByteCount,
                                      state.expectedPackageSize);
    // Only a changed frame is drawn: redrawing the same text 30 times a second was nearly all of
    // an idle window's processor time.
    std::string status = state.statusLine.get();
    if (view.percentage != view.shownPercentage || status != view.shownStatus) {
      std::snprintf(view.percentText.data(), view.percentText.size(), "%d%%", view.percentage);
      gfx::clear_page();
      draw_progress_frame(view, status);
      view.shownStatus = std::move(status);
      view.shownPercentage = view.percentage;
    }
    gfx::pace_frame(30);
  }
  return 0;
}

}  // namespace progress_view
