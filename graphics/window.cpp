#include "graphics/window.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "graphics/control_seam.h"
#include "graphics/drawing.h"
#include "graphics/pacing.h"
#include "platform/clock.h"
#include "platform/codepage.h"
#include "platform/display.h"

namespace gfx {

namespace {

// Per thread, so that a control walk on the worker thread never redirects the UI thread's
// drawing (null: the active page).
thread_local IMAGE* t_target = nullptr;
// This thread has drawn on the screen since it last copied the page. The countdown alone cannot
// say so: another thread's copy may reset it while this thread's last drawing is still being
// written, and that drawing would then never be copied.
thread_local bool t_drew_screen = false;

ControlHooks g_hooks;

// Starts the refresh timer, which copies a page whose countdown ran out and stops itself once
// nothing waits: an idle window's message thread sleeps until there is work.
void countdown_ran_out() {
  const GraphContext& c = graph_context();
  if (!c.manual_render && c.window) platform::displaySetTimer(kRefreshTimerId, kRefreshPeriodMs);
}

IMAGE* resolve(PIMAGE img, bool draws) {
  GraphContext& c = graph_context();
  const auto value = reinterpret_cast<uintptr_t>(img);
  if (value == 0) {
    if (draws) {
      if (c.dirty_countdown.fetch_sub(1, std::memory_order_relaxed) == 1) countdown_ran_out();
      t_drew_screen = true;
    }
    return t_target ? t_target : c.pages[c.active_page];
  }
  const size_t page = value & 0xF;
  return page < kPageCount ? c.pages[page] : nullptr;
}

[[maybe_unused]] const bool g_resolver_installed = (set_image_resolver(&resolve), true);

void close_sets_flag() {
  graph_context().close_requested = 1;
}

IMAGE* ensure_page(int index) {
  GraphContext& c = graph_context();
  if (!c.pages[index]) c.pages[index] = newimage(c.width, c.height);
  return c.pages[index];
}

// The window's graphics set-up, on the message thread once the window exists.
void graphics_setup() {
  GraphContext& c = graph_context();
  if (!c.snapshot) c.snapshot = newimage(1, 1);
  c.key_queue.clear();
  c.mouse_queue.clear();
  set_active_page(0);
  t_target = nullptr;
  set_visual_page(0);
  c.dirty_countdown = 0;
  if (c.view_x != 0 || c.view_y != 0 || c.view_w != c.width || c.view_h != c.height) {
    c.dirty_countdown.fetch_sub(1);
    c.view_x = c.view_y = 0;
    c.view_w = c.width;
    c.view_h = c.height;
  }
}

void message_thread_main() {
  GraphContext& c = graph_context();
  platform::WindowRequest request;
  request.x = c.pos_x;
  request.y = c.pos_y;
  request.width = c.width;
  request.height = c.height;
  request.borderless = (c.window_mode & kModeNoBorder) != 0;
  request.topmost = (c.window_mode & kModeTopmost) != 0;
  request.titleUtf8 = c.caption;
  request.icons = c.icons;
  std::string error;
  if (!platform::displayOpen(request, &error)) {
    c.failure = error.empty() ? "the window system refused the window" : error;
    c.startup_failed = true;
    return;
  }
  c.window = platform::displayWindowId();
  c.window_destroyed = 0;
  graphics_setup();
  c.cursor_shown = 0;
  c.close_requested = 0;
  c.forced_exit = (c.window_mode & kModeNoForcedExit) == 0;
  if (c.window_mode & kModeNoForcedExit) c.close_handler = &close_sets_flag;
  c.loop_started = true;
  c.skip_timer = false;
  // The first frame is the blank page, shown before any other thread may draw into it.
  c.dirty_countdown = 255;
  repaint();
  c.startup_complete = true;

  platform::WindowMessage msg;
  while (!c.window_destroyed && !c.stop_thread) {
    if (platform::displayGetMessage(&msg, -1)) window_proc(msg);
  }
  c.window_destroyed = 1;
  c.window = 0;
  platform::displayClose();
}

}  // namespace

GraphContext& graph_context() {
  // Never destroyed: the message thread may still run while the process exits.
  static GraphContext* c = new GraphContext;
  return *c;
}

void set_control_hooks(const ControlHooks& hooks) {
  g_hooks = hooks;
}

const ControlHooks& control_hooks() {
  return g_hooks;
}

void set_window_mode(int mode, int x, int y) {
  GraphContext& c = graph_context();
  c.window_mode = mode;
  if (mode & kModeNoBorder) {
    c.style = (mode & kModeChild) ? 0x52000000 : 0x92000000;
  } else {
    c.style = 0x12CA0000;
  }
  c.ex_style = (mode & kModeTopmost) ? 0x8 : 0;
  c.pos_x = x;
  c.pos_y = y;
  c.mode_set = true;
}

void set_window_icons(std::vector<platform::IconImage> icons) {
  graph_context().icons = std::move(icons);
}

int initgraph(int width, int height, int mode) {
  GraphContext& c = graph_context();
  set_image_resolver(&resolve);
  if (!c.mode_set) set_window_mode(mode, kDefaultPosition, kDefaultPosition);
  c.mode_set = false;

  const int32_t packed = height == 0
                             ? width
                             : static_cast<int32_t>(static_cast<uint32_t>(width & 0xFFFF) |
                                                    static_cast<uint32_t>(height & 0xFFFF) << 16);
  int w = packed & 0xFFFF;
  int h = (packed >> 16) & 0xFFFF;
  if ((w & 0x8000) || packed < 0) {
    int sw = 0, sh = 0;
    if (!platform::displayScreenSize(&sw, &sh)) {
      c.failure = "no display to take the screen size from";
      return -1;
    }
    if (w & 0x8000) w = sw;
    if (packed < 0) h = sh;
  }
  w = std::max(w, 1);
  h = std::max(h, 1);

  if (c.message_thread.joinable() && !c.window_destroyed) {
    // A second initgraph keeps the window and its thread: new size, fresh queues and pages.
    c.width = w;
    c.height = h;
    for (IMAGE* page : c.pages) {
      if (page) page->createimage(w, h);
    }
    if (c.snapshot) c.snapshot->createimage(w, h);
    c.key_queue.clear();
    c.mouse_queue.clear();
    c.view_x = c.view_y = 0;
    c.view_w = w;
    c.view_h = h;
    c.dirty_countdown = 0;
    countdown_ran_out();
    platform::displaySetClientSize(w, h);
    return 0;
  }
  if (c.message_thread.joinable()) c.message_thread.join();

  c.close_requested = 0;
  c.window_destroyed = 0;
  c.startup_complete = false;
  c.startup_failed = false;
  c.stop_thread = false;
  c.failure.clear();
  c.width = w;
  c.height = h;
  c.view_x = c.view_y = c.view_w = c.view_h = 0;
  c.class_name = "GraphicsWindowClass";
  c.caption = "Graphics Window";
  c.close_handler = nullptr;
  c.left_held = c.middle_held = c.right_held = 0;
  for (auto& k : c.key_state) k = 0;
  c.last_frame = c.last_wait = 0;

  static bool exit_hook = false;
  if (!exit_hook) {
    exit_hook = true;
    std::atexit(&closegraph);
  }
  c.drawing_thread = std::this_thread::get_id();
  c.message_thread = std::thread(&message_thread_main);
  // The message thread either finishes start-up or says why it could not.
  while (!c.startup_complete && !c.startup_failed) platform::sleepMilliseconds(1);
  if (c.startup_failed) {
    c.message_thread.join();
    return -1;
  }
  c.mouse_x = w / 2;
  c.mouse_y = h / 2;
  create_control_root();  // once per process; later calls find the root made
  // The logo plays in its own manual rendering and hands back automatic rendering, so a manual
  // mode asked for is set up after it.
  if ((c.window_mode & kModeStartupLogo) && c.startup_logo) c.startup_logo();
  if (c.window_mode & kModeManualRender) set_render_mode(1);
  c.cursor_shown = 1;
  return 0;
}

const std::string& initgraph_failure() {
  return graph_context().failure;
}

std::string window_failure_text(std::string_view program) {
  std::string text(program);
  text += ": cannot open the window: ";
  text += initgraph_failure().empty() ? "unknown reason" : initgraph_failure();
  return text;
}

void closegraph() {
  GraphContext& c = graph_context();
  if (!c.message_thread.joinable()) return;
  if (c.message_thread.get_id() == std::this_thread::get_id()) {
    c.message_thread.detach();
    return;
  }
  c.stop_thread = true;
  platform::displayPostMessage(0, 0, 0);  // wakes the loop to see the request
  c.message_thread.join();
}

uintptr_t window_handle() {
  return graph_context().window;
}

void set_window_title(const char* text) {
  if (!text) return;
  platform::displaySetTitle(platform::gbkToUtf8(text));
}

bool window_alive() {
  const GraphContext& c = graph_context();
  return !c.close_requested && !c.window_destroyed;
}

void move_window(int x, int y) {
  platform::displaySetPosition(x, y);
}

void raise_window() {
  platform::displayRaise();
}

bool screen_size(int* width, int* height) {
  return platform::displayScreenSize(width, height);
}

void set_ime_position(int x, int y) {
  // The point travels in lparam itself, so the caller need not keep it alive.
  platform::displayPostMessage(platform::WM_IME_CONTROL, 16,
                               static_cast<intptr_t>(static_cast<uint32_t>(y & 0xFFFF) << 16 |
                                                     static_cast<uint32_t>(x & 0xFFFF)));
}

void message_box(const char* title, const char* text, bool error) {
  platform::showMessageBox(title ? title : "", text ? text : "", error);
}

void set_active_page(int page) {
  GraphContext& c = graph_context();
  if (page < 0 || page >= kPageCount) return;
  c.active_page = page;
  ensure_page(page);
}

void set_visual_page(int page) {
  GraphContext& c = graph_context();
  if (page < 0 || page >= kPageCount) return;
  c.visual_page = page;
  ensure_page(page);
  c.dirty_countdown = 0;
  countdown_ran_out();
}

void set_target(PIMAGE target) {
  set_image_resolver(&resolve);
  t_target = target;
}

PIMAGE get_target() {
  return t_target ? t_target : graph_context().pages[graph_context().active_page];
}

IMAGE* screen_page() {
  return graph_context().pages[graph_context().visual_page];
}

namespace {

void present(const IMAGE* page) {
  const GraphContext& c = graph_context();
  const int x = std::clamp(c.view_x, 0, page->width());
  const int y = std::clamp(c.view_y, 0, page->height());
  const int w = std::min(c.view_w, page->width() - x);
  const int h = std::min(c.view_h, page->height() - y);
  if (w <= 0 || h <= 0) return;
  platform::displayPresent(page->pixels() + static_cast<size_t>(y) * page->width() + x,
                           page->width(), w, h);
}

}  // namespace

bool screen_changed() {
  return t_drew_screen || graph_context().dirty_countdown < 255;
}

bool screen_drawn_here() {
  return t_drew_screen;
}

void mark_screen_drawn() {
  t_drew_screen = true;
}

int flush_screen() {
  GraphContext& c = graph_context();
  if (c.window_destroyed) return -1;
  c.flush_count.fetch_add(1, std::memory_order_relaxed);
  t_drew_screen = false;  // what this thread drew is complete and about to be copied
  const IMAGE* page = screen_page();
  if (!c.window || !page) {
    c.dirty_countdown = 255;
    return 20;
  }
  present(page);
  c.dirty_countdown = 255;
  return 0;
}

void repaint() {
  GraphContext& c = graph_context();
  IMAGE* page = screen_page();
  if (!page || !c.snapshot || !c.window) return;
  c.snapshot->copyimage(page);
  present(c.snapshot);
}

}  // namespace gfx
