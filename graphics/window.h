// The graphics window: the process-wide context, the window mode, initgraph and the window's
// message thread, the pages and drawing target, and the ways a page reaches the screen (paint, the
// refresh timer, flush_screen).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "graphics/image.h"
#include "graphics/input.h"

namespace gfx {

// window_mode bits.
constexpr int kModeNoBorder = 0x1;
constexpr int kModeChild = 0x2;
constexpr int kModeTopmost = 0x4;
constexpr int kModeManualRender = 0x8;
constexpr int kModeNoForcedExit = 0x10;
constexpr int kModeStartupLogo = 0x100;

constexpr int kDefaultPosition = platform::kDefaultPosition;
constexpr uintptr_t kRefreshTimerId = 916;
constexpr uint32_t kRefreshPeriodMs = 50;
constexpr int kPageCount = 4;

using CloseHandler = void (*)();

// The one graphics context of the process. Fields that more than one thread touches are atomic;
// pages and images are shared without a lock, as the drawing layer shares them.
struct GraphContext {
  // Survive initgraph: the mode set before it.
  int window_mode = kModeStartupLogo;
  uint32_t style = 0x12CA0000;
  uint32_t ex_style = 0;
  int pos_x = kDefaultPosition, pos_y = kDefaultPosition;
  bool mode_set = false;

  int width = 0, height = 0;
  IMAGE* pages[kPageCount] = {};
  int view_x = 0, view_y = 0, view_w = 0, view_h = 0;
  int visual_page = 0, active_page = 0;
  IMAGE* snapshot = nullptr;
  std::atomic<uintptr_t> window{0};
  std::string class_name = "GraphicsWindowClass";
  std::string caption = "Graphics Window";

  std::atomic<int> close_requested{0};
  std::atomic<int> window_destroyed{0};
  std::atomic<int> dirty_countdown{0};
  std::atomic<bool> loop_started{false};
  std::atomic<bool> forced_exit{false};
  std::atomic<bool> manual_render{false};
  std::atomic<bool> startup_complete{false};
  std::atomic<bool> startup_failed{false};
  std::atomic<bool> timer_stop_request{false};
  std::atomic<bool> skip_timer{false};
  std::atomic<bool> stop_thread{false};
  std::string failure;                     // why the window could not be made
  std::vector<platform::IconImage> icons;  // the program's icon in every size it has
  // Plays the start-up logo; set by enable_startup_logo() in the programs that carry it.
  bool (*startup_logo)() = nullptr;

  InputQueue key_queue;
  InputQueue mouse_queue;
  std::thread message_thread;
  // The thread that opened the window: it draws the frames and walks the control tree.
  std::atomic<std::thread::id> drawing_thread{};

  std::atomic<int> left_held{0}, middle_held{0}, right_held{0};
  std::atomic<int> mouse_x{0}, mouse_y{0};
  int down_x = 0, down_y = 0;
  int up_x = 0, up_y = 0;
  std::atomic<int> cursor_shown{0};
  KeyHandler key_handler = nullptr;
  void* key_user = nullptr;
  CloseHandler close_handler = nullptr;
  std::atomic<int> key_state[256] = {};

  // Pacing (graphics/pacing.h).
  std::atomic<int64_t> timer_origin{0};
  double last_wait = 0;
  double last_frame = 0;
  std::atomic<uint64_t> flush_count{0};
};

GraphContext& graph_context();

// Stores the mode and position for the window opened next; the next initgraph ignores its own
// mode argument.
void set_window_mode(int mode, int x, int y);

// The program's icon, in every size it has, for the window opened next (as a window class takes
// the program's icon group). Without one the window manager shows its default.
void set_window_icons(std::vector<platform::IconImage> icons);

// Opens the graphics window and starts its message thread; returns once the window exists: 0.
// When the window cannot be made (no display, refused by the window system) it returns -1 and
// initgraph_failure() says why; nothing is left running. Width and height may also come packed
// in width (low 16 bits width, high 16 bits height) with height 0; a width with bit 15 set means
// the full screen width and a negative packed value the full screen height.
int initgraph(int width, int height, int mode);
const std::string& initgraph_failure();
// "<program>: cannot open the window: <reason>", the line a program writes on standard error
// before it exits with status 2 when initgraph fails.
std::string window_failure_text(std::string_view program);

// Ends the message thread and closes the window (also run at process exit).
void closegraph();

uintptr_t window_handle();
// 8-bit (GBK) text.
void set_window_title(const char* text);
bool window_alive();
void move_window(int x, int y);
void raise_window();
// False when there is no display.
bool screen_size(int* width, int* height);
// Moves the input method's composition window to the client point (x, y).
void set_ime_position(int x, int y);
// Writes the text on standard error and shows a message box (8-bit texts).
void message_box(const char* title, const char* text, bool error);

// Pages and the drawing target. The target is per thread: null (the default) means the active
// page; a control walk sets its control's image for the length of each handler call.
void set_active_page(int page);
void set_visual_page(int page);
void set_target(PIMAGE target);
PIMAGE get_target();
IMAGE* screen_page();  // the visual page, or null before initgraph

// Copies the view rectangle of the visual page to the window. 0; -1 once the window is
// destroyed; 20 while there is no window.
int flush_screen();
// Whether the page may hold drawing not yet copied to the window: drawing through the screen
// target since the last copy, by any thread or by this one since its own last copy. Pacing copies
// only then; writing a page's pixels directly is not seen, so such a program flushes itself.
bool screen_changed();
// Whether this thread drew on the screen since its own last copy. A thread that paces without
// drawing (a worker's wait) copies nothing: the page may be half drawn by another thread, which
// copies it itself once it has finished.
bool screen_drawn_here();
// Drawing that reached the screen page without the screen target (the control tree).
void mark_screen_drawn();
// Copies the visual page through the snapshot image to the window (the first frame, and the
// refresh timer of a page whose countdown ran out).
void repaint();

}  // namespace gfx
